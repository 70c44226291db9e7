// A recording view for model tests: windows exist only as models (as in the headless
// view), the caption bar has a height of our choosing, and a test scripts what a
// modal window's user does.
#pragma once

#include <functional>
#include <map>

#include "platform/HeadlessUi.h"

namespace nolt::test {

class FakeUi : public plat::HeadlessUi {
 public:
  int captionBarHeight = 23;
  // Runs as the user of a modal window: may change the model (type into fields) and
  // returns how the window ended.
  std::function<int(plat::WindowModel&)> modalUser;

  int created = 0;
  int destroyed = 0;
  std::map<plat::WindowId, plat::WindowModel*> models;
  std::map<plat::WindowId, plat::WindowEvents> events;

  int CaptionBarHeight() override { return captionBarHeight; }
  plat::WindowId CreateWindowFromModel(plat::WindowModel* model, plat::WindowEvents ev) override {
    ++created;
    const plat::WindowId id = HeadlessUi::CreateWindowFromModel(model, ev);
    models[id] = model;
    events[id] = ev;
    return id;
  }
  void DestroyWindow(plat::WindowId id) override {
    ++destroyed;
    models.erase(id);
    events.erase(id);
    HeadlessUi::DestroyWindow(id);
  }
  int ShowModal(plat::WindowId id) override {
    return modalUser && models.count(id) ? modalUser(*models[id]) : plat::kIdCancel;
  }
  // A click as the view delivers it.
  void Click(plat::WindowId id, const std::string& control) { events.at(id).onClick(control); }
  plat::WindowId Last() const { return models.empty() ? plat::kNoWindow : models.rbegin()->first; }
};

}  // namespace nolt::test
