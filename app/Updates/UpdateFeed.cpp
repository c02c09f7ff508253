#include "app/Updates/UpdateFeed.h"

#include "platform/update/ArchiveSignature.h"

namespace veltovoice {

std::optional<UpdateFeed> UpdateFeed::make(const QString& address, const QString& publicKey) {
  const QUrl url(address, QUrl::StrictMode);
  if (!url.isValid() || url.isRelative()) return std::nullopt;
  if (url.scheme() != QLatin1String("https")) return std::nullopt;
  if (url.host().isEmpty()) return std::nullopt;
  // A password without a user still counts: either would be sent to the feed's server.
  if (!url.userInfo().isEmpty() || url.hasFragment()) return std::nullopt;
  if (!platform::ArchiveSignature::isPublicKey(publicKey.toStdString())) return std::nullopt;
  return UpdateFeed{url, publicKey};
}

}  // namespace veltovoice
