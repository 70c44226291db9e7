// The real view of the target (Win32, or FLTK on an X display): the message-loop
// contract, the main form's window, close boxes and modal windows. Skipped where
// there is no display.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Ui.h"
#include "tests/platform/NativeWindow.h"
#include "webcopy/WcLogin.h"

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

class UiView : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ui().HasDisplay()) GTEST_SKIP() << "no display: the headless view is in use";
  }
};

Control Button(const char* name, int left, int top, int modalResult) {
  Control b;
  b.kind = ControlKind::Button;
  b.name = name;
  b.text = name;
  b.left = left;
  b.top = top;
  b.width = 75;
  b.height = 25;
  b.modalResult = modalResult;
  return b;
}

TEST_F(UiView, CallsPostedFromAnotherThreadRunOnTheMainThreadInOrder) {
  std::vector<int> seen;
  std::atomic<bool> allOnMain{true};
  const auto mainId = std::this_thread::get_id();
  std::thread worker([&] {
    for (int i = 0; i < 200; ++i)
      ui().PostToMainThread([&, i] {
        if (std::this_thread::get_id() != mainId) allOnMain = false;
        seen.push_back(i);
      });
  });
  for (int round = 0; round < 1000 && seen.size() < 200; ++round) {
    ui().WaitForMessage(100);
    ui().ProcessMessages();
  }
  worker.join();
  ui().ProcessMessages();
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
  EXPECT_TRUE(allOnMain);
}

TEST_F(UiView, APumpRunsOnlyTheCallsPendingWhenItStarts) {
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    ui().PostToMainThread(again);
  };
  ui().PostToMainThread(again);
  ui().ProcessMessages();
  EXPECT_EQ(runs, 1);
  ui().ProcessMessages();
  EXPECT_EQ(runs, 2);
  // Leave nothing behind for the other tests.
  again = [] {};
  ui().ProcessMessages();
}

TEST_F(UiView, AModalWindowEndsWithEndModalAndDisablesTheOthers) {
  WindowModel owner;
  owner.caption = "Owner of the modal probe";
  owner.clientWidth = 200;
  owner.clientHeight = 60;
  owner.visible = true;
  const WindowId ownerId = ui().CreateWindowFromModel(&owner, {});

  WindowModel box;
  box.caption = "Modal probe";
  box.clientWidth = 200;
  box.clientHeight = 60;
  box.border = BorderStyle::Dialog;
  box.controls.push_back(Button("Go", 60, 20, 5));
  const WindowId id = ui().CreateWindowFromModel(&box, {});

  NativeWindow ownerDuringModal, boxDuringModal;
  std::thread worker([&] {
    ui().PostToMainThread([&] {
      ownerDuringModal = nolt::test::InspectWindow(owner.caption);
      boxDuringModal = nolt::test::InspectWindow(box.caption);
      ui().EndModal(id, 7);
    });
  });
  Watchdog guard([&] { ui().PostToMainThread([&] { ui().EndModal(id, -1); }); });
  const int result = ui().ShowModal(id);
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
  ui().PostToMainThread([&] { nolt::test::SendCloseBox(box.caption); });
  EXPECT_EQ(ui().ShowModal(id), kIdCancel);
  ui().DestroyWindow(id);
  ui().DestroyWindow(ownerId);
}

TEST_F(UiView, TheLoginFormsCloseBoxIsACancel) {
  const std::string caption = "Connect to close.example";
  NativeWindow form;
  ui().PostToMainThread([&] {
    form = nolt::test::InspectWindow(caption);
    nolt::test::SendCloseBox(caption);
  });
  std::string user = "u", password = "p";
  EXPECT_FALSE(nolt::ShowLoginDialog(caption, user, password));
  EXPECT_EQ(user, "u");
  EXPECT_EQ(password, "p");
  ASSERT_TRUE(form.found);
  EXPECT_EQ(form.clientWidth, 320);
  EXPECT_TRUE(form.resizable);
}

// The last test of the program: the loop ends for good once terminated.
TEST_F(UiView, TheMainFormShowsInsideTheLoopAndItsCloseBoxEndsIt) {
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
  WindowEvents events;
  events.onShow = [&] {
    ++shows;
    showInsideLoop = inLoop;
    seen = nolt::test::InspectWindow(form.caption);
    // The user closes the window with its close box.
    nolt::test::SendCloseBox(form.caption);
  };
  events.onClose = [&] {
    ++closes;
    ui().Terminate();
  };
  const WindowId id = ui().CreateWindowFromModel(&form, events);
  EXPECT_EQ(shows, 0) << "onShow waits for the message loop";
  {
    Watchdog guard([] { ui().PostToMainThread([] { ui().Terminate(); }); });
    inLoop = true;
    ui().RunMessageLoop();
    inLoop = false;
  }
  EXPECT_EQ(shows, 1);
  EXPECT_TRUE(showInsideLoop);
  EXPECT_EQ(closes, 1);
  EXPECT_TRUE(ui().Terminated());
  ASSERT_TRUE(seen.found);
  EXPECT_EQ(seen.clientWidth, 214);
  EXPECT_EQ(seen.clientHeight, 29);
  EXPECT_FALSE(seen.resizable);
  // Centred on the screen: the frame is the window manager's, so allow for it.
  EXPECT_NEAR(seen.clientLeft + 107, seen.screenWidth / 2, 12);
  EXPECT_NEAR(seen.clientTop + 14, seen.screenHeight / 2, 24);
  ui().DestroyWindow(id);
}

}  // namespace
