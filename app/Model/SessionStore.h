#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QUuid>

#include "app/Model/VoiceSession.h"

namespace veltovoice {

// The conversation files on disk. A plain value holding two folder locations and nothing else:
// every operation goes straight to the file system. Use from one thread at a time (the GUI thread).
//
// Sessions folder:
//   <UUID>.json   one conversation (VoiceSession JSON, indented, sorted member names), the UUID in
//                 upper case; replaced atomically by save()
//   <name>.md     the conversation's Markdown rendering under its `markdownFile` name, fixed when
//                 the conversation is made: "yyyy-MM-dd HHmm <title>.md" (user's locale and time
//                 zone; "/" and ":" in the title as "／" and "："); replaced atomically by save()
//   other *.md    conversations of the earlier, Markdown-only generation, converted by loadAll()
// Audio folder: one recording per conversation, named by its `audioFile`; written by the recording
// and import code, never by the store.
struct SessionStore {
  std::filesystem::path sessionsDirectory;
  std::filesystem::path audioDirectory;

  // The store of the application folder `root`: root/"Sessions" and root/"Audio".
  static SessionStore inFolder(const std::filesystem::path& root);

  // Every conversation that can be read, newest `startedAt` first (equal times keep the listing
  // order, converted legacy files after decoded conversations). Creates the sessions folder when
  // missing. Files that cannot be read or decoded are skipped and left untouched. Legacy Markdown
  // files that no conversation file names are converted and saved; the Markdown files named by
  // conversation files that cannot be decoded (damaged, or from a newer version) count as named,
  // and while a conversation file cannot be read at all (permission, I/O error) no legacy file is
  // converted. A conversation whose `markdownFile` is not a Markdown file name
  // (isMarkdownFileName()) gets a new one (newMarkdownFileName()), written at its next save.
  // Never throws for problems on disk.
  std::vector<VoiceSession> loadAll() const;

  // Writes `session`'s conversation file and, when it has a `markdownFile`, its rendering, each
  // atomically. Throws platform::FileError when the folder cannot be made or a write fails, and
  // platform::JsonCodingError when the conversation cannot be encoded (nothing is written then). A failed
  // write leaves the previous file of that step untouched; a failed Markdown write comes after the
  // conversation file has been replaced. A `markdownFile` that is not a Markdown file name
  // (isMarkdownFileName()) is refused with platform::FileError (EINVAL) after the conversation file.
  void save(const VoiceSession& session) const;

  // The conversation that the legacy Markdown file at `markdown` holds (its file name becomes the
  // `markdownFile`), or nothing when the file cannot be read or is not valid UTF-8. Writes
  // nothing.
  static std::optional<VoiceSession> migrate(const std::filesystem::path& markdown);

  // The Markdown file name for a conversation that starts at `startedAt` (seconds since 2001)
  // with `title`: date and time in the user's locale and time zone, a blank, the title with "/"
  // and ":" as "／" and "：", then `suffix` and ".md". The title is cut at a character boundary
  // so that the whole name is at most 255 bytes.
  static std::string markdownFileName(double startedAt, const std::string& title,
                                      const std::string& suffix = "");

  // markdownFileName() made unique: when an entry of the sessions folder or a `markdownFile` of
  // `sessions` already has the name, " 2", " 3", ... is put before ".md" until it is free. For a
  // new conversation (recording or import), before it is first saved.
  std::string newMarkdownFileName(double startedAt, const std::string& title,
                                  const std::vector<VoiceSession>& sessions) const;

  // Whether `name` names a file directly inside a folder: not empty, no "/", not "." or "..".
  // Names read from conversation files are checked with it before the store's folders are used.
  static bool isPlainFileName(const std::string& name);

  // Whether `name` may name a conversation's rendering: a plain file name ending in ".md" with
  // something before it.
  static bool isMarkdownFileName(const std::string& name);

  // Where the conversation file of `id` lies.
  std::filesystem::path conversationFile(const QUuid& id) const;

  // Where the conversation's Markdown file and recording lie, or nothing when it names none or
  // the name is not a Markdown file name, or not a plain file name (a folder part, "." or ".."): a
  // damaged or foreign conversation file must not lead to other files or outside the store's
  // folders.
  std::optional<std::filesystem::path> markdownPath(const VoiceSession& session) const;
  std::optional<std::filesystem::path> audioPath(const VoiceSession& session) const;
};

}  // namespace veltovoice
