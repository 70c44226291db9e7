#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/Shell.h"
#include "tests/webcopy/FakeUi.h"
#include "webcopy/ProgressDialog.h"
#include "webcopy/WebCopy.h"

using nolt::test::FakeUi;

namespace {

class RecordingShell : public plat::Shell {
 public:
  std::vector<std::string> opened;
  bool ShellExecuteOpen(const std::string& path) override {
    opened.push_back(path);
    return true;
  }
};

// Local-copy items (no internet handle); the routine is a script run with the
// dialog of the run.
class ScriptedCopy : public nolt::TWebCopy {
 public:
  std::function<bool(ScriptedCopy&, int idx)> routine;
  std::vector<int> transferred;
  using nolt::TWebCopy::Dialog;

  void AddItems(int n) {
    for (int i = 0; i < n; ++i) {
      nolt::TWebCopyItem& item = Items.Add();
      item.Protocol = nolt::wpFile;
      // Appended rather than added: GCC 12 at -O3 warns falsely about "literal" + string.
      item.TargetFilename = std::string("f").append(std::to_string(i));
      item.URL = std::string("/src/").append(item.TargetFilename);
    }
  }

 protected:
  bool FileCopy(int idx, const std::string&, const std::string&, const std::string&, std::int32_t,
                const std::string&, const std::string&, const std::string&, bool, nolt::TDateTime&,
                bool&) override {
    transferred.push_back(idx);
    return routine ? routine(*this, idx) : true;
  }
};

const plat::Control& Get(const plat::WindowModel& m, const std::string& name) {
  for (const auto& c : m.controls)
    if (c.name == name) return c;
  throw std::runtime_error("no control " + name);
}
bool Has(const plat::WindowModel& m, const std::string& name) {
  for (const auto& c : m.controls)
    if (c.name == name) return true;
  return false;
}

class DialogModel : public ::testing::Test {
 protected:
  FakeUi view;
  RecordingShell shell;
  plat::ScopedSeam<plat::Ui> useView{view};
  plat::ScopedSeam<plat::Shell> useShell{shell};
  ScriptedCopy copy;

  // Runs one item and hands back a copy of the dialog model as the routine saw it.
  plat::WindowModel ModelDuringRun() {
    plat::WindowModel seen;
    copy.AddItems(1);
    copy.routine = [&](ScriptedCopy& c, int) {
      seen = c.Dialog()->Model();
      return true;
    };
    copy.Execute();
    return seen;
  }
};

struct SizeCase {
  bool showTime, showFileName;
  int extraHeight;       // outer height minus the caption bar
  int progress, rate, time, buttons;
};

class DialogSizes : public DialogModel, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(DialogSizes, WindowHeightLinesAndButtonRowFollowTheSwitches) {
  const SizeCase& k = GetParam();
  copy.ShowTime = k.showTime;
  copy.ShowFileName = k.showFileName;
  const plat::WindowModel m = ModelDuringRun();
  EXPECT_EQ(m.outerWidth, 300);
  EXPECT_EQ(m.outerHeight, view.captionBarHeight + k.extraHeight);
  EXPECT_EQ(Get(m, "FileLine").top, 80);
  EXPECT_EQ(Get(m, "FileLine").visible, k.showFileName);
  EXPECT_EQ(Get(m, "ProgressLine").top, k.progress);
  EXPECT_EQ(Get(m, "RateLine").top, k.rate);
  EXPECT_EQ(Get(m, "TimeLine").top, k.time);
  EXPECT_EQ(Get(m, "TimeLine").visible, k.showTime);
  EXPECT_EQ(Get(m, "CancelButton").top, k.buttons);
}

INSTANTIATE_TEST_SUITE_P(AllSwitches, DialogSizes,
                         ::testing::Values(SizeCase{false, true, 188, 100, 120, 140, 140},
                                           SizeCase{true, true, 208, 100, 120, 140, 160},
                                           SizeCase{false, false, 188, 80, 100, 120, 120},
                                           SizeCase{true, false, 208, 80, 100, 120, 140}));

TEST_F(DialogModel, ControlsAreCreatedInOrderAtTheirPlaces) {
  const plat::WindowModel m = ModelDuringRun();
  std::vector<std::string> names;
  for (const auto& c : m.controls) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"FileLine", "ProgressLine", "RateLine", "TimeLine", "Animation",
                                             "CancelButton", "ProgressBar"}));
  EXPECT_EQ(m.border, plat::BorderStyle::Dialog);
  EXPECT_TRUE(m.centred);

  const plat::Control& anim = Get(m, "Animation");
  EXPECT_EQ(anim.kind, plat::ControlKind::Animation);
  EXPECT_EQ(std::vector<int>({anim.left, anim.top, anim.width, anim.height}), std::vector<int>({10, 0, 272, 60}));
  EXPECT_EQ(anim.resource, 257);
  EXPECT_TRUE(anim.playing);

  const plat::Control& bar = Get(m, "ProgressBar");
  EXPECT_EQ(std::vector<int>({bar.left, bar.top, bar.width, bar.height}), std::vector<int>({10, 60, 280, 12}));
  EXPECT_EQ(bar.position, 0);

  const plat::Control& file = Get(m, "FileLine");
  EXPECT_EQ(file.width, 280);
  EXPECT_FALSE(file.autoSize) << "the file line keeps its width and cuts long text";
  EXPECT_TRUE(Get(m, "ProgressLine").autoSize);

  const plat::Control& cancel = Get(m, "CancelButton");
  EXPECT_EQ(std::vector<int>({cancel.left, cancel.width, cancel.height}), std::vector<int>({215, 75, 25}));
  EXPECT_EQ(cancel.text, "Cancel");
  EXPECT_TRUE(cancel.enabled);
}

TEST_F(DialogModel, TextsComeFromTheComponent) {
  copy.DlgCaption = "Aktualisiere";
  copy.DlgFileLabel = "Datei :";
  copy.DlgProgressLabel = "Fortschritt :";
  copy.DlgRateLabel = "Rate :";
  copy.DlgTimeLabel = "Zeit :";
  copy.DlgCancel = "Abbrechen";
  copy.ShowDialog = false;  // still built: the caption is the built one, not the activity word
  std::string caption;
  copy.AddItems(1);
  copy.routine = [&](ScriptedCopy& c, int) {
    caption = c.Dialog()->Caption();
    return true;
  };
  // The caption when built, seen before the run loop writes the activity word.
  nolt::TWcProgressDialog built(copy);
  EXPECT_EQ(built.Caption(), "Aktualisiere ...");
  const plat::WindowModel& m = built.Model();
  EXPECT_EQ(Get(m, "FileLine").text, "Datei :");
  EXPECT_EQ(Get(m, "ProgressLine").text, "Fortschritt :");
  EXPECT_EQ(Get(m, "RateLine").text, "Rate :");
  EXPECT_EQ(Get(m, "TimeLine").text, "Zeit :");
  EXPECT_EQ(Get(m, "CancelButton").text, "Abbrechen");
  copy.Execute();
  EXPECT_EQ(caption, "Copying ...") << "the run loop shows the activity word of the item";
}

struct ButtonCase {
  bool file, folder;
  int fileLeft, folderLeft;  // -1: absent
};

class DialogButtons : public DialogModel, public ::testing::WithParamInterface<ButtonCase> {};

TEST_P(DialogButtons, OpenButtonsStandRightAlignedAndStartDisabled) {
  const ButtonCase& k = GetParam();
  copy.ShowOpenFile = k.file;
  copy.ShowOpenFolder = k.folder;
  const plat::WindowModel m = ModelDuringRun();
  EXPECT_EQ(Get(m, "CancelButton").left, 215);
  ASSERT_EQ(Has(m, "OpenFileButton"), k.fileLeft >= 0);
  ASSERT_EQ(Has(m, "OpenFolderButton"), k.folderLeft >= 0);
  for (const char* name : {"OpenFileButton", "OpenFolderButton"}) {
    if (!Has(m, name)) continue;
    const plat::Control& b = Get(m, name);
    EXPECT_EQ(b.left, std::string(name) == "OpenFileButton" ? k.fileLeft : k.folderLeft) << name;
    EXPECT_EQ(b.top, 140) << name;
    EXPECT_EQ(b.width, 75);
    EXPECT_FALSE(b.enabled) << name << " is enabled only after a run";
  }
  // Creation order: Cancel, then Open folder, then Open file, then the bar.
  std::vector<std::string> buttons;
  for (const auto& c : m.controls)
    if (c.kind == plat::ControlKind::Button) buttons.push_back(c.name);
  std::vector<std::string> expected{"CancelButton"};
  if (k.folder) expected.push_back("OpenFolderButton");
  if (k.file) expected.push_back("OpenFileButton");
  EXPECT_EQ(buttons, expected);
  EXPECT_EQ(m.controls.back().name, "ProgressBar");
}

INSTANTIATE_TEST_SUITE_P(Rows, DialogButtons,
                         ::testing::Values(ButtonCase{false, false, -1, -1}, ButtonCase{true, false, 130, -1},
                                           ButtonCase{false, true, -1, 130}, ButtonCase{true, true, 45, 130}));

TEST_F(DialogModel, ShownOnlyWithShowDialogAndTopmostOnlyWhenShown) {
  copy.AlwaysOnTop = true;
  copy.ShowDialog = false;
  plat::WindowModel m = ModelDuringRun();
  EXPECT_FALSE(m.visible);
  EXPECT_FALSE(m.topmost);

  ScriptedCopy second;
  second.AlwaysOnTop = true;
  second.AddItems(1);
  second.routine = [&](ScriptedCopy& c, int) {
    m = c.Dialog()->Model();
    return true;
  };
  second.Execute();
  EXPECT_TRUE(m.visible);
  EXPECT_TRUE(m.topmost);
}

TEST_F(DialogModel, BuildingClearsCancelled) {
  copy.Cancelled = true;  // left from an earlier run
  bool seen = true;
  copy.AddItems(1);
  copy.routine = [&](ScriptedCopy& c, int) {
    seen = c.Cancelled;
    return true;
  };
  copy.Execute();
  EXPECT_FALSE(seen);
}

TEST_F(DialogModel, CancelClickDuringTheRunStopsItAndHidesTheDialog) {
  std::vector<nolt::TObject*> senders;
  copy.OnCopyCancel = [&](nolt::TObject* sender) { senders.push_back(sender); };
  bool visibleAfterClick = true, stillThere = false;
  copy.AddItems(3);
  copy.routine = [&](ScriptedCopy& c, int idx) {
    if (idx == 1) {
      view.Click(view.Last(), "CancelButton");
      visibleAfterClick = c.Dialog()->Visible();
      stillThere = view.models.size() == 1;  // hidden, not destroyed
    }
    return true;
  };
  copy.Execute();
  EXPECT_EQ(senders, std::vector<nolt::TObject*>{&copy}) << "Sender is the component, not the button";
  EXPECT_TRUE(copy.Cancelled);
  EXPECT_FALSE(visibleAfterClick);
  EXPECT_TRUE(stillThere);
  EXPECT_EQ(copy.transferred, (std::vector<int>{0, 1})) << "no item after the cancelled one";
  EXPECT_EQ(copy.Dialog(), nullptr) << "without open buttons the run ends by destroying the dialog";
  EXPECT_EQ(view.created, view.destroyed);
}

TEST_F(DialogModel, ARunWithOpenButtonsLeavesTheDialogWaiting) {
  copy.ShowOpenFile = true;
  copy.ShowOpenFolder = true;
  copy.AddItems(1);
  copy.Execute();
  ASSERT_NE(copy.Dialog(), nullptr);
  const plat::WindowModel& m = copy.Dialog()->Model();
  EXPECT_TRUE(m.visible);
  EXPECT_EQ(Get(m, "CancelButton").text, "Close");
  EXPECT_FALSE(Get(m, "Animation").playing);
  EXPECT_TRUE(Get(m, "OpenFileButton").enabled);
  EXPECT_TRUE(Get(m, "OpenFolderButton").enabled);

  // Close after the run: the same handler, the event and the flag all the same.
  int cancels = 0;
  copy.OnCopyCancel = [&](nolt::TObject*) { ++cancels; };
  view.Click(view.Last(), "CancelButton");
  EXPECT_EQ(cancels, 1);
  EXPECT_TRUE(copy.Cancelled);
  EXPECT_FALSE(copy.Dialog()->Visible());
}

TEST_F(DialogModel, ACancelledRunKeepsTheOpenButtonsDisabledAndTheDialogHidden) {
  copy.ShowOpenFile = true;
  copy.AddItems(2);
  copy.routine = [&](ScriptedCopy&, int) {
    view.Click(view.Last(), "CancelButton");
    return true;
  };
  copy.Execute();
  ASSERT_NE(copy.Dialog(), nullptr);
  EXPECT_FALSE(copy.Dialog()->Visible());
  EXPECT_FALSE(Get(copy.Dialog()->Model(), "OpenFileButton").enabled);
  EXPECT_EQ(Get(copy.Dialog()->Model(), "CancelButton").text, "Close");
}

TEST_F(DialogModel, OpenButtonsOpenTheLastTargetThenTheDialogGoes) {
  for (const char* button : {"OpenFileButton", "OpenFolderButton"}) {
    ScriptedCopy c;
    c.ShowOpenFile = c.ShowOpenFolder = true;
    c.AddItems(1);
    c.routine = [](ScriptedCopy& self, int) {
      self.LastTargetFile = "/target/dir/f0";
      self.LastTargetDir = "/target/dir/";
      return true;
    };
    c.Execute();
    shell.opened.clear();
    view.Click(view.Last(), button);
    EXPECT_EQ(shell.opened, std::vector<std::string>{std::string(button) == "OpenFileButton" ? "/target/dir/f0"
                                                                                             : "/target/dir/"});
    // Destroyed once the click has been handled, by the next pump.
    EXPECT_NE(c.Dialog(), nullptr);
    view.ProcessMessages();
    EXPECT_EQ(c.Dialog(), nullptr) << button;
  }
}

TEST_F(DialogModel, TheBarClampsItsPosition) {
  nolt::TWcProgressDialog d(copy);
  d.SetProgressPosition(150);
  EXPECT_EQ(d.ProgressPosition(), 100);
  d.SetProgressPosition(-3);
  EXPECT_EQ(d.ProgressPosition(), 0);
  d.SetProgressPosition(45);
  EXPECT_EQ(d.ProgressPosition(), 45);
}

TEST_F(DialogModel, ClipSelectionRestartsPlaying) {
  nolt::TWcProgressDialog d(copy);
  d.KeepOpenAfterRun(false);
  EXPECT_FALSE(Get(d.Model(), "Animation").playing);
  d.PlayClip(plat::kAviUpload);
  EXPECT_EQ(Get(d.Model(), "Animation").resource, 258);
  EXPECT_TRUE(Get(d.Model(), "Animation").playing);
  d.PlayClip(plat::kAviCopyFiles);
  EXPECT_EQ(Get(d.Model(), "Animation").resource, plat::kAviCopyFiles);
}

}  // namespace
