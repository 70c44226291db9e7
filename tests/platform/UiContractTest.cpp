// The contract of the user-interface seam, run against every view: the headless view
// here, and the target's system view (FLTK on an X display, Win32) where there is a
// display. The headless view's user is scripted through the base's click and close
// handling; the system view's user is the close box that the system delivers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/HeadlessUi.h"
#include "platform/Ui.h"
#include "tests/platform/NativeWindow.h"

using namespace plat;
using nolt::test::NativeWindow;

namespace {

// Ends a loop that would otherwise wait for ever when an event never comes: not a
// timing check, only a guard against a hanging test.
class Watchdog {
 public:
  explicit Watchdog(std::function<void()> onExpiry) {
    thread_ = std::thread([this, onExpiry] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (!cv_.wait_for(lock, std::chrono::seconds(60), [this] { return done_; })) onExpiry();
    });
  }
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

// The headless view with a user: clicks and the close box reach the base as a
// system view's input does.
class ScriptedHeadlessUi : public HeadlessUi {
 public:
  using UiViewBase::Click;
  using UiViewBase::UserClose;
};

enum class View { Headless, System };
void PrintTo(View v, std::ostream* os) { *os << (v == View::Headless ? "the headless view" : "the system view"); }

class UiContract : public ::testing::TestWithParam<View> {
 protected:
  void SetUp() override {
    if (System() && !ui().HasDisplay()) GTEST_SKIP() << "no display: the system view is the headless one";
  }
  bool System() const { return GetParam() == View::System; }
  // The system view lives as long as the program; its loop ends for good once terminated.
  Ui& view() { return System() ? ui() : headless_; }

  // The user closes the window with its close box.
  void CloseBox(WindowId id, const std::string& caption) {
    if (System())
      EXPECT_TRUE(nolt::test::SendCloseBox(caption)) << "no window of ours is captioned " << caption;
    else
      headless_.UserClose(id);
  }
  // Pumps until done() holds (a system view's input arrives through its queue).
  template <class Done> void PumpUntil(Done done) {
    for (int round = 0; round < 600 && !done(); ++round) {
      view().WaitForMessage(100);
      view().ProcessMessages();
    }
  }

  ScriptedHeadlessUi headless_;
};

WindowModel Model(const char* caption) {
  WindowModel m;
  m.caption = caption;
  m.clientWidth = 200;
  m.clientHeight = 60;
  m.visible = true;
  return m;
}

TEST_P(UiContract, CallsPostedFromAnotherThreadRunOnTheMainThreadInOrder) {
  std::vector<int> seen;
  std::atomic<bool> allOnMain{true};
  const auto mainId = std::this_thread::get_id();
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i)
      view().PostToMainThread([&, i] {
        if (std::this_thread::get_id() != mainId) allOnMain = false;
        seen.push_back(i);
      });
  });
  PumpUntil([&] { return seen.size() >= 200; });
  worker.join();
  view().ProcessMessages();
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(allOnMain);
}

TEST_P(UiContract, APumpRunsOnlyTheCallsPendingWhenItStarts) {
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    view().PostToMainThread(again);
  };
  view().PostToMainThread(again);
  view().ProcessMessages();
  EXPECT_EQ(runs, 1);
  view().ProcessMessages();
  EXPECT_EQ(runs, 2);
  // Leave nothing behind for the other tests.
  again = [] {};
  view().ProcessMessages();
}

TEST_P(UiContract, TheCloseBoxAsksTheWindowsHandlerOrElseHidesIt) {
  WindowModel plain = Model("Close probe without handler");
  WindowModel asked = Model("Close probe with handler");
  int closes = 0;
  WindowEvents events;
  events.onClose = [&] { ++closes; };
  const WindowId plainId = view().CreateWindowFromModel(&plain, {});
  const WindowId askedId = view().CreateWindowFromModel(&asked, events);

  CloseBox(plainId, plain.caption);
  CloseBox(askedId, asked.caption);
  PumpUntil([&] { return !plain.visible && closes > 0; });
  EXPECT_FALSE(plain.visible);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(asked.visible) << "the handler decides";
  view().DestroyWindow(plainId);
  view().DestroyWindow(askedId);
}

TEST_P(UiContract, AModalWindowEndsWithEndModalAndDisablesTheOthers) {
  WindowModel owner = Model("Owner of the modal probe");
  const WindowId ownerId = view().CreateWindowFromModel(&owner, {});

  WindowModel box = Model("Modal probe");
  box.visible = false;
  box.border = BorderStyle::Dialog;
  box.controls.push_back(MakeControl(ControlKind::Button, "Go", 60, 20, 75, 25, "Go"));
  box.controls.back().modalResult = 5;
  const WindowId id = view().CreateWindowFromModel(&box, {});

  if (!System()) {
    // Nobody can answer a modal window of the headless view: Cancel at once.
    EXPECT_EQ(view().ShowModal(id), kIdCancel);
    view().DestroyWindow(id);
    view().DestroyWindow(ownerId);
    return;
  }

  NativeWindow ownerDuringModal, boxDuringModal;
  std::thread worker([&] {
    view().PostToMainThread([&] {
      ownerDuringModal = nolt::test::InspectWindow(owner.caption);
      boxDuringModal = nolt::test::InspectWindow(box.caption);
      view().EndModal(id, 7);
    });
  });
  Watchdog guard([&] { view().PostToMainThread([&] { view().EndModal(id, -1); }); });
  const int result = view().ShowModal(id);
  worker.join();
  EXPECT_EQ(result, 7);
  EXPECT_TRUE(boxDuringModal.found);
  EXPECT_EQ(boxDuringModal.clientWidth, 200);
  EXPECT_FALSE(box.visible) << "hidden again when the modal loop ends";
#ifdef _WIN32
  EXPECT_FALSE(ownerDuringModal.enabled) << "the other windows take no input meanwhile";
  EXPECT_TRUE(nolt::test::InspectWindow(owner.caption).enabled);
#endif

  // The close box ends a modal window with Cancel.
  view().PostToMainThread([&] { CloseBox(id, box.caption); });
  EXPECT_EQ(view().ShowModal(id), kIdCancel);
  view().DestroyWindow(id);
  view().DestroyWindow(ownerId);
}

// The last test of the suite: the system view's loop ends for good once terminated.
TEST_P(UiContract, TheMainFormShowsInsideTheLoopAndItsCloseBoxEndsIt) {
  WindowModel form;
  form.name = "MainForm";
  form.caption = "NOLT-Patch-Setup";
  form.clientWidth = 214;
  form.clientHeight = 29;
  form.border = BorderStyle::Single;
  form.centred = true;
  form.fontName = "MS Sans Serif";
  form.fontHeight = -11;
  form.visible = true;

  bool inLoop = false;
  int shows = 0, closes = 0;
  bool showInsideLoop = false;
  NativeWindow seen;
  WindowId id = kNoWindow;
  // Calls that another thread posts while the loop runs; the last is the user's close.
  std::vector<int> posted;
  std::atomic<bool> postedOnMain{true};
  const auto mainId = std::this_thread::get_id();
  std::thread worker;
  WindowEvents events;
  events.onShow = [&] {
    ++shows;
    showInsideLoop = inLoop;
    if (System()) seen = nolt::test::InspectWindow(form.caption);
    worker = std::thread([&] {
      for (int i = 0; i < 3; ++i)
        view().PostToMainThread([&, i] {
          if (std::this_thread::get_id() != mainId) postedOnMain = false;
          posted.push_back(i);
          if (i == 2) CloseBox(id, form.caption);
        });
    });
  };
  events.onClose = [&] {
    ++closes;
    view().Terminate();
  };
  id = view().CreateWindowFromModel(&form, events);
  EXPECT_EQ(shows, 0) << "onShow waits for the message loop";
  {
    Watchdog guard([&] { view().PostToMainThread([&] { view().Terminate(); }); });
    inLoop = true;
    view().RunMessageLoop();
    inLoop = false;
  }
  if (worker.joinable()) worker.join();
  EXPECT_EQ(shows, 1);
  EXPECT_TRUE(showInsideLoop);
  EXPECT_EQ(posted, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(postedOnMain);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(view().Terminated());
  if (System()) {
    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.clientWidth, 214);
    EXPECT_EQ(seen.clientHeight, 29);
    EXPECT_FALSE(seen.resizable);
    // Centred on the screen: the frame is the window manager's, so allow for it.
    EXPECT_NEAR(seen.clientLeft + 107, seen.screenWidth / 2, 12);
    EXPECT_NEAR(seen.clientTop + 14, seen.screenHeight / 2, 24);
  }
  view().DestroyWindow(id);
}

INSTANTIATE_TEST_SUITE_P(Views, UiContract, ::testing::Values(View::Headless, View::System),
                         [](const ::testing::TestParamInfo<View>& info) {
                           return info.param == View::Headless ? "Headless" : "System";
                         });

// Which controls take a click, and what a click does: the rule that every view
// applies to its input, checked once on the base they share.
TEST(UiViewBase, OnlyAnEnabledVisibleButtonTakesAClick) {
  ScriptedHeadlessUi view;
  WindowModel m = Model("Click probe");
  m.controls = {MakeControl(ControlKind::Button, "Go", 0, 0, 75, 25, "Go"),
                MakeControl(ControlKind::Button, "Off", 0, 0, 75, 25, "Off"),
                MakeControl(ControlKind::Button, "Hidden", 0, 0, 75, 25, "Hidden"),
                MakeControl(ControlKind::Label, "Text", 0, 0, 75, 13, "Text"),
                MakeControl(ControlKind::Edit, "Field", 0, 0, 75, 21, ""),
                MakeControl(ControlKind::Image, "Banner", 0, 0, 320, 60, "")};
  m.controls[1].enabled = false;
  m.controls[2].visible = false;
  std::vector<std::string> clicked;
  WindowEvents events;
  events.onClick = [&](const std::string& control) { clicked.push_back(control); };
  const WindowId id = view.CreateWindowFromModel(&m, events);
  for (std::size_t i = 0; i <= m.controls.size(); ++i) view.Click(id, i);  // one past the end too
  view.Click(id + 1, 0);                                                    // no such window
  EXPECT_EQ(clicked, (std::vector<std::string>{"Go"}));

  // A click handler may destroy its own window, also one with a modal result.
  view.DestroyWindow(id);
  m.controls[0].modalResult = kIdOk;
  int handled = 0;
  WindowId again = kNoWindow;
  events.onClick = [&](const std::string&) {
    ++handled;
    view.DestroyWindow(again);
  };
  again = view.CreateWindowFromModel(&m, events);
  view.Click(again, 0);
  view.Click(again, 0);
  EXPECT_EQ(handled, 1) << "the second click finds no window";
}

}  // namespace
