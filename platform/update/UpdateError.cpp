#include "platform/update/UpdateError.h"

#include <utility>

#include <fmt/format.h>

namespace platform {

UpdateError::UpdateError(Code code, std::string description, std::string failureReason,
                         std::exception_ptr underlying)
    : Error("UpdateError", kDomain, static_cast<int>(code), std::move(description), std::nullopt,
            std::move(underlying)),
      failureReason_(std::move(failureReason)) {}

UpdateError UpdateError::invalidInformation(const std::string& detail) {
  return {Code::invalidInformation, "更新先の設定が正しくありません。", detail};
}

UpdateError UpdateError::insecureAddress(const std::string& address) {
  return {Code::insecureAddress, "安全でない更新先には接続しません。", address};
}

UpdateError UpdateError::feedUnreadable(const std::string& detail, std::exception_ptr underlying) {
  return {Code::feedUnreadable, "更新情報を取得できませんでした。", detail, std::move(underlying)};
}

UpdateError UpdateError::feedInvalid(const std::string& detail) {
  return {Code::feedInvalid, "更新情報を読み取れませんでした。", detail};
}

UpdateError UpdateError::downloadFailed(const std::string& detail, std::exception_ptr underlying) {
  return {Code::downloadFailed, "更新ファイルをダウンロードできませんでした。", detail,
          std::move(underlying)};
}

UpdateError UpdateError::lengthMismatch(long long expected, long long actual) {
  return {Code::lengthMismatch, "更新ファイルの大きさが正しくありません。",
          fmt::format("{} バイトのはずが {} バイトでした。", expected, actual)};
}

UpdateError UpdateError::signatureInvalid(const std::string& detail) {
  return {Code::signatureInvalid, "更新ファイルの署名を確認できませんでした。", detail};
}

UpdateError UpdateError::archiveInvalid(const std::string& detail) {
  return {Code::archiveInvalid, "更新ファイルの中身が正しくありません。", detail};
}

UpdateError UpdateError::archiveUnsafe(const std::string& entry) {
  return {Code::archiveUnsafe, "更新ファイルに安全でない項目があります。", entry};
}

UpdateError UpdateError::notUserLocal(const std::string& detail) {
  return {Code::notUserLocal, "このインストールは自動では更新できません。",
          "ホームフォルダにインストールした VELTO VOICE だけが自分で更新できます。" + detail};
}

UpdateError UpdateError::installationFailed(const std::string& detail, std::exception_ptr underlying) {
  return {Code::installationFailed, "更新をインストールできませんでした。今のバージョンはそのまま使えます。",
          detail, std::move(underlying)};
}

UpdateError UpdateError::noUpdate(const std::string& displayVersion) {
  return {Code::noUpdate, "最新版を使用しています。",
          fmt::format("VELTO VOICE {} が最新のバージョンです。", displayVersion)};
}

}  // namespace platform
