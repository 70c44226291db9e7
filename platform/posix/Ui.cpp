// Linux user interface: the headless view when there is no display.
#include "platform/HeadlessUi.h"

namespace plat {

template <> Ui& SystemInstance<Ui>() {
  static HeadlessUi instance;
  return instance;
}

}  // namespace plat
