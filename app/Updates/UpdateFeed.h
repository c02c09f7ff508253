#pragma once

#include <optional>

#include <QString>
#include <QUrl>

namespace veltovoice {

// The update feed's address and the Base64 text of the Ed25519 key that signs its releases, as the
// program's information names them, accepted only when both are usable. A value type.
struct UpdateFeed {
  QUrl url;
  QString publicKey;  // the Base64 text exactly as given

  bool operator==(const UpdateFeed&) const = default;

  // The feed, or nullopt unless `address` is an https address with a non-empty host and without
  // user, password or fragment, and `publicKey` is standard Base64 of exactly 32 bytes.
  static std::optional<UpdateFeed> make(const QString& address, const QString& publicKey);
};

}  // namespace veltovoice
