#pragma once

#include <optional>
#include <string>

#include <QWidget>

class QFrame;

namespace veltovoice {

class AudioPlayback;
class LiveModel;
class SessionDetail;
class SessionList;
class VeltoToolsFooter;

// The content of the main window: the conversation list (280 px) and the conversation detail (26 px
// margins, taking the rest of the width) side by side, a divider and the footer below. It sets the
// window-wide 11 px font and the minimum content size of 1040 by 560.
//
// It keeps the player on the selected conversation's recording (Audio folder + audioFile, or
// nothing): when it first appears, when the selection changes, when the selected conversation's
// audioFile changes and when the phase becomes idle. Loading the recording already open leaves
// playback alone, so several of these at once are harmless. GUI thread only.
class MainView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kListWidth = 280;
  static constexpr int kDetailMargin = 26;
  static constexpr int kFooterMarginX = 26;
  static constexpr int kFooterMarginY = 10;
  static constexpr int kMinimumWidth = 1040;
  static constexpr int kMinimumHeight = 560;
  static constexpr int kBaseFontPixels = 11;

  // `model` and `player` are borrowed and must outlive the view.
  MainView(LiveModel& model, AudioPlayback& player, QWidget* parent = nullptr);

  SessionList* list() const { return list_; }
  SessionDetail* detail() const { return detail_; }
  VeltoToolsFooter* footer() const { return footer_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void loadSelectedRecording();
  void followAudioFile();

  LiveModel& live_;
  AudioPlayback& player_;
  SessionList* list_;
  SessionDetail* detail_;
  VeltoToolsFooter* footer_;
  bool appeared_ = false;
  // The selected conversation's audioFile as last seen, to notice when it changes.
  std::optional<std::string> shownAudioFile_;
};

}  // namespace veltovoice
