#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "platform/update/UpdateItem.h"

// The update feed: XML with one `release` element per release under the root `updates`:
//
//   <updates>
//     <release version="42" displayVersion="1.2.0" url="https://host/VeltoVoice-1.2.0.tar.gz"
//              length="1234567" signature="(Base64 Ed25519 signature of the archive)"/>
//   </updates>
//
// `version` is a release version (UpdateVersion), `length` a positive decimal byte count, `url` an
// https address; all five attributes are required. A document type declaration is refused (entities
// are never expanded), and so is a feed without releases.
namespace platform::Appcast {

// The releases of `xml` in document order. Throws UpdateError::feedInvalid naming the fault.
std::vector<UpdateItem> parse(std::string_view xml);

// The release with the highest version (the first of equals), or nullopt when `items` is empty.
std::optional<UpdateItem> newest(const std::vector<UpdateItem>& items);

}  // namespace platform::Appcast
