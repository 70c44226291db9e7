#include "webcopy/ProgressDialog.h"

#include <cmath>

#include "webcopy/Format.h"
#include "webcopy/WebCopy.h"

namespace nolt {
namespace {

constexpr int kWindowWidth = 300;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 25;

// Sizes and times are shown as 32-bit numbers.
std::int32_t AsInt(std::uint32_t v) { return static_cast<std::int32_t>(v); }

}  // namespace

TWcProgressDialog::TWcProgressDialog(TWebCopy& owner) : owner_(owner) {
  using plat::ControlKind;
  const int b = owner.ShowFileName ? 80 : 60;
  const int t = owner.ShowTime && owner.ShowFileName ? 160 : (owner.ShowTime || owner.ShowFileName) ? 140 : 120;

  model_.name = "WebCopyDialog";
  model_.border = plat::BorderStyle::Dialog;
  model_.centred = true;
  model_.outerWidth = kWindowWidth;
  model_.outerHeight = plat::ui().CaptionBarHeight() + (owner.ShowTime ? 208 : 188);
  model_.topmost = owner.ShowDialog && owner.AlwaysOnTop;

  // Creation order: the lines, the animation, the buttons, then the bar.
  plat::Control file = plat::MakeControl(ControlKind::Label, "FileLine", 10, 80, kWindowWidth - 20, 13, owner.DlgFileLabel);
  file.visible = owner.ShowFileName;
  model_.controls.push_back(file);
  plat::Control progress = plat::MakeControl(ControlKind::Label, "ProgressLine", 10, b + 20, 0, 13, owner.DlgProgressLabel);
  progress.autoSize = true;
  model_.controls.push_back(progress);
  plat::Control rate = plat::MakeControl(ControlKind::Label, "RateLine", 10, b + 40, 0, 13, owner.DlgRateLabel);
  rate.autoSize = true;
  model_.controls.push_back(rate);
  plat::Control time = plat::MakeControl(ControlKind::Label, "TimeLine", 10, b + 60, 0, 13, owner.DlgTimeLabel);
  time.autoSize = true;
  time.visible = owner.ShowTime;
  model_.controls.push_back(time);
  plat::Control anim = plat::MakeControl(ControlKind::Animation, "Animation", 10, 0, 272, 60, "");
  anim.resource = 257;
  anim.playing = true;
  model_.controls.push_back(anim);
  plat::Control cancel = plat::MakeControl(ControlKind::Button, "CancelButton", kWindowWidth - kButtonWidth - 10, t,
                              kButtonWidth, kButtonHeight, owner.DlgCancel);
  model_.controls.push_back(cancel);
  const int folderLeft = kWindowWidth - 2 * kButtonWidth - 20;
  if (owner.ShowOpenFolder) {
    plat::Control folder =
        plat::MakeControl(ControlKind::Button, "OpenFolderButton", folderLeft, t, kButtonWidth, kButtonHeight, owner.DlgOpenFolder);
    folder.enabled = false;
    model_.controls.push_back(folder);
  }
  if (owner.ShowOpenFile) {
    const int left = owner.ShowOpenFolder ? folderLeft - kButtonWidth - 10 : folderLeft;
    plat::Control fileButton =
        plat::MakeControl(ControlKind::Button, "OpenFileButton", left, t, kButtonWidth, kButtonHeight, owner.DlgOpenFile);
    fileButton.enabled = false;
    model_.controls.push_back(fileButton);
  }
  model_.controls.push_back(plat::MakeControl(ControlKind::ProgressBar, "ProgressBar", 10, 60, kWindowWidth - 20, 12, ""));

  model_.caption = owner.DlgCaption + " ...";
  owner.Cancelled = false;
  model_.visible = owner.ShowDialog;

  plat::WindowEvents events;
  events.onClick = [this](const std::string& control) {
    if (control == "CancelButton") CancelClick();
    else if (control == "OpenFileButton") OpenFileClick();
    else if (control == "OpenFolderButton") OpenFolderClick();
  };
  // Closing the window from its frame counts as Cancel.
  events.onClose = [this] { CancelClick(); };
  window_ = plat::ui().CreateWindowFromModel(&model_, std::move(events));
}

TWcProgressDialog::~TWcProgressDialog() {
  if (window_ != plat::kNoWindow) plat::ui().DestroyWindow(window_);
}

void TWcProgressDialog::SetCaption(const std::string& caption) {
  Settle();
  model_.caption = caption;
}

void TWcProgressDialog::SetFileLine(const std::string& text) {
  Settle();
  model_.Find("FileLine")->text = text;
}

std::string TWcProgressDialog::FileLine() const {
  Settle();
  for (const auto& c : model_.controls)
    if (c.name == "FileLine") return c.text;
  return {};
}

void TWcProgressDialog::SetProgressLine(const std::string& text) {
  Settle();
  model_.Find("ProgressLine")->text = text;
}

void TWcProgressDialog::SetRateLine(const std::string& text) {
  Settle();
  model_.Find("RateLine")->text = text;
}

void TWcProgressDialog::SetTimeLine(const std::string& text) {
  Settle();
  model_.Find("TimeLine")->text = text;
}

void TWcProgressDialog::DeferProgressLine(std::uint32_t done, std::uint32_t total, bool withTotal) {
  deferred_.progressLine = true;
  deferred_.done = done;
  deferred_.total = total;
  deferred_.withTotal = withTotal;
}

void TWcProgressDialog::DeferStatusLines(std::uint32_t done, std::uint32_t total, std::uint32_t elapsedMs,
                                         const std::string& action) {
  deferred_.statusLines = true;
  deferred_.statusDone = done;
  deferred_.statusTotal = total;
  deferred_.elapsedMs = elapsedMs;
  deferred_.position = ProgressPosition();
  deferred_.action.assign(action);
}

void TWcProgressDialog::Settle() const {
  Deferred& d = deferred_;
  if (d.progressLine) {
    d.progressLine = false;
    std::string line = owner_.DlgProgressLabel + " " + FormatSize(AsInt(d.done));
    if (d.withTotal) {
      if (d.totalText.empty() || d.formattedTotal != d.total) {
        d.formattedTotal = d.total;
        d.totalText = FormatSize(AsInt(d.total));
      }
      line.append(" ").append(owner_.DlgFileOfLabel).append(" ").append(d.totalText);
    }
    model_.Find("ProgressLine")->text = std::move(line);
  }
  if (d.statusLines) {
    d.statusLines = false;
    if (owner_.ShowCompletion)
      model_.caption = d.action + " : " + std::to_string(d.position) + "% " + owner_.DlgCompleted;
    // (elapsed + 1) keeps the divisor above 0; the rate goes on as a 32-bit number.
    const auto rate = static_cast<std::int64_t>(
        std::nearbyint(d.statusDone / (static_cast<double>(d.elapsedMs) + 1.0) * 1000.0));
    model_.Find("RateLine")->text = owner_.DlgRateLabel + " " + FormatRate(AsInt(static_cast<std::uint32_t>(rate)));
    model_.Find("TimeLine")->text =
        owner_.DlgTimeLabel + " " + FormatTimeLeft(AsInt(d.elapsedMs), AsInt(d.statusDone), AsInt(d.statusTotal));
  }
}

void TWcProgressDialog::SetProgressPosition(int position) {
  // The bar clamps what it is given; the clamped value is what it reports.
  model_.Find("ProgressBar")->position = position < 0 ? 0 : position > 100 ? 100 : position;
}

int TWcProgressDialog::ProgressPosition() const {
  for (const auto& c : model_.controls)
    if (c.name == "ProgressBar") return c.position;
  return 0;
}

void TWcProgressDialog::PlayClip(int resource) {
  plat::Control* anim = model_.Find("Animation");
  anim->resource = resource;
  anim->playing = true;
}

void TWcProgressDialog::Sync() {
  Settle();
  if (window_ != plat::kNoWindow) plat::ui().SyncWindow(window_);
}

void TWcProgressDialog::KeepOpenAfterRun(bool cancelled) {
  Settle();
  model_.Find("CancelButton")->text = owner_.DlgClose;
  model_.Find("Animation")->playing = false;
  if (!cancelled) {
    if (plat::Control* b = model_.Find("OpenFileButton")) b->enabled = true;
    if (plat::Control* b = model_.Find("OpenFolderButton")) b->enabled = true;
  }
  Sync();
}

void TWcProgressDialog::CancelClick() {
  if (owner_.OnCopyCancel) owner_.OnCopyCancel(&owner_);
  owner_.Cancelled = true;
  model_.visible = false;
  Sync();
}

void TWcProgressDialog::OpenFileClick() {
  // The shell seam opens the file; the dialog is then closed and destroyed.
  owner_.OpenInShell(owner_.LastTargetFile);
  owner_.ReleaseDialogLater();
}

void TWcProgressDialog::OpenFolderClick() {
  owner_.OpenInShell(owner_.LastTargetDir);
  owner_.ReleaseDialogLater();
}

}  // namespace nolt
