#include "tests/support/TarBuilder.h"

#include <memory>
#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>

namespace testsupport {

TarBuilder& TarBuilder::file(std::string name, std::string content, int mode) {
  entries_.push_back({Kind::file, std::move(name), std::move(content), mode});
  return *this;
}

TarBuilder& TarBuilder::folder(std::string name) {
  entries_.push_back({Kind::folder, std::move(name), {}, 0755});
  return *this;
}

TarBuilder& TarBuilder::symlink(std::string name, std::string target) {
  entries_.push_back({Kind::symlink, std::move(name), std::move(target), 0777});
  return *this;
}

TarBuilder& TarBuilder::hardlink(std::string name, std::string target) {
  entries_.push_back({Kind::hardlink, std::move(name), std::move(target), 0644});
  return *this;
}

void TarBuilder::write(const std::filesystem::path& path) const {
  std::unique_ptr<struct archive, decltype(&archive_write_free)> writer(archive_write_new(), &archive_write_free);
  archive_write_add_filter_gzip(writer.get());
  archive_write_set_format_pax_restricted(writer.get());
  if (archive_write_open_filename(writer.get(), path.c_str()) != ARCHIVE_OK) {
    throw std::runtime_error(archive_error_string(writer.get()));
  }
  for (const Entry& item : entries_) {
    std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> entry(archive_entry_new(), &archive_entry_free);
    archive_entry_set_pathname(entry.get(), item.name.c_str());
    archive_entry_set_perm(entry.get(), static_cast<mode_t>(item.mode));
    switch (item.kind) {
      case Kind::file:
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(item.content.size()));
        break;
      case Kind::folder: archive_entry_set_filetype(entry.get(), AE_IFDIR); break;
      case Kind::symlink:
        archive_entry_set_filetype(entry.get(), AE_IFLNK);
        archive_entry_set_symlink(entry.get(), item.content.c_str());
        break;
      case Kind::hardlink:
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_hardlink(entry.get(), item.content.c_str());
        break;
    }
    if (archive_write_header(writer.get(), entry.get()) != ARCHIVE_OK) {
      throw std::runtime_error(archive_error_string(writer.get()));
    }
    if (item.kind == Kind::file && !item.content.empty()) {
      archive_write_data(writer.get(), item.content.data(), item.content.size());
    }
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) throw std::runtime_error(archive_error_string(writer.get()));
}

}  // namespace testsupport
