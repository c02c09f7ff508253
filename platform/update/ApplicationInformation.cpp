#include "platform/update/ApplicationInformation.h"

#include "platform/sys/Environment.h"
#include "platform/sys/FileIO.h"
#include "platform/update/ApplicationInformationBuiltIn.h"

namespace platform {

namespace {

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

}  // namespace

ApplicationInformation ApplicationInformation::current() {
  if (auto file = Environment::value("VELTOVOICE_APPLICATION_INFO"); file && !file->empty()) {
    return parse(readFile(*file));
  }
  return parse(detail::kBuiltInApplicationInformation);
}

ApplicationInformation ApplicationInformation::parse(std::string_view text) {
  ApplicationInformation information;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const auto equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string value(trimmed(line.substr(equals + 1)));
    if (key == "shortVersion") information.shortVersion = value;
    else if (key == "buildVersion") information.buildVersion = value;
    else if (key == "feedURL") information.feedURL = value;
    else if (key == "publicKey") information.publicKey = value;
    else if (key == "caBundlePath") information.caBundlePath = value;
  }
  return information;
}

}  // namespace platform
