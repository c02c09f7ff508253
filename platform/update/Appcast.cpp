#include "platform/update/Appcast.h"

#include <charconv>
#include <string>

#include <fmt/format.h>
#include <pugixml.hpp>

#include "platform/net/Url.h"
#include "platform/update/UpdateError.h"
#include "platform/update/UpdateVersion.h"

namespace platform::Appcast {

namespace {

constexpr std::size_t kMaxAttributeLength = 4096;

std::string requiredAttribute(const pugi::xml_node& release, const char* name, std::size_t index) {
  const pugi::xml_attribute attribute = release.attribute(name);
  if (!attribute) throw UpdateError::feedInvalid(fmt::format("release {} has no {}", index + 1, name));
  const std::string value = attribute.value();
  if (value.empty() || value.size() > kMaxAttributeLength) {
    throw UpdateError::feedInvalid(fmt::format("release {} has an unusable {}", index + 1, name));
  }
  return value;
}

UpdateItem itemOf(const pugi::xml_node& release, std::size_t index) {
  UpdateItem item;
  item.versionString = requiredAttribute(release, "version", index);
  item.displayVersionString = requiredAttribute(release, "displayVersion", index);
  item.fileURL = requiredAttribute(release, "url", index);
  item.edSignature = requiredAttribute(release, "signature", index);
  const std::string length = requiredAttribute(release, "length", index);

  if (!UpdateVersion::isValid(item.versionString)) {
    throw UpdateError::feedInvalid(fmt::format("release {} has an invalid version", index + 1));
  }
  if (item.displayVersionString.size() > UpdateVersion::kMaxVersionLength) {
    throw UpdateError::feedInvalid(fmt::format("release {} has an overlong display version", index + 1));
  }
  const auto url = Url::parse(item.fileURL);
  if (!url || url->scheme() != "https" || url->host().empty()) {
    throw UpdateError::feedInvalid(fmt::format("release {} has no https address", index + 1));
  }
  const auto [end, error] =
      std::from_chars(length.data(), length.data() + length.size(), item.contentLength);
  if (error != std::errc() || end != length.data() + length.size() || item.contentLength <= 0) {
    throw UpdateError::feedInvalid(fmt::format("release {} has an invalid length", index + 1));
  }
  return item;
}

}  // namespace

std::vector<UpdateItem> parse(std::string_view xml) {
  pugi::xml_document document;
  // parse_doctype keeps a declaration as a node, so that it can be refused; entities stay unexpanded.
  const pugi::xml_parse_result result =
      document.load_buffer(xml.data(), xml.size(), pugi::parse_default | pugi::parse_doctype);
  if (!result) {
    throw UpdateError::feedInvalid(fmt::format("malformed XML at byte {}: {}", result.offset, result.description()));
  }
  for (const pugi::xml_node& node : document.children()) {
    if (node.type() == pugi::node_doctype) throw UpdateError::feedInvalid("document type declarations are not accepted");
  }
  const pugi::xml_node root = document.document_element();
  if (std::string_view(root.name()) != "updates") throw UpdateError::feedInvalid("the root element is not <updates>");

  std::vector<UpdateItem> items;
  for (const pugi::xml_node& release : root.children("release")) {
    items.push_back(itemOf(release, items.size()));
  }
  if (items.empty()) throw UpdateError::feedInvalid("the feed lists no release");
  return items;
}

std::optional<UpdateItem> newest(const std::vector<UpdateItem>& items) {
  std::optional<UpdateItem> best;
  for (const UpdateItem& item : items) {
    if (!best || UpdateVersion::compare(item.versionString, best->versionString) > 0) best = item;
  }
  return best;
}

}  // namespace platform::Appcast
