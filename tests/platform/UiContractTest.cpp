#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/HeadlessUi.h"
#include "platform/Ui.h"

using namespace plat;

namespace {

// The message-loop contract, checked on the headless view that every target has.
TEST(UiContract, PostedCallsRunOnTheMainThreadInOrder) {
  HeadlessUi view;
  std::vector<int> seen;
  std::thread::id mainId = std::this_thread::get_id();
  std::atomic<bool> onMain{true};
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i)
      view.PostToMainThread([&, i] {
        if (std::this_thread::get_id() != mainId) onMain = false;
        seen.push_back(i);
        if (i == 2) view.Terminate();
      });
  });
  view.RunMessageLoop();
  worker.join();
  EXPECT_TRUE(onMain);
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(view.Terminated());
}

TEST(UiContract, ShowFiresInsideTheLoopAndModalsCancel) {
  HeadlessUi view;
  WindowModel form;
  form.caption = "NOLT-Patch-Setup";
  form.visible = true;
  int shows = 0;
  WindowEvents ev;
  ev.onShow = [&] {
    ++shows;
    view.Terminate();
  };
  WindowId id = view.CreateWindowFromModel(&form, ev);
  EXPECT_EQ(shows, 0) << "onShow waits for the message loop";
  view.RunMessageLoop();
  EXPECT_EQ(shows, 1);
  EXPECT_EQ(view.ShowModal(id), kIdCancel);
  view.DestroyWindow(id);
}

TEST(UiContract, ProcessMessagesRunsOnlyWhatIsPending) {
  HeadlessUi view;
  int runs = 0;
  std::function<void()> again = [&] {
    ++runs;
    view.PostToMainThread(again);
  };
  view.PostToMainThread(again);
  view.ProcessMessages();
  EXPECT_EQ(runs, 1);
  view.ProcessMessages();
  EXPECT_EQ(runs, 2);
}

}  // namespace
