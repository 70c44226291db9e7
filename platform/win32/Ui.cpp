// Windows user interface.
#include "platform/HeadlessUi.h"

namespace plat {

template <> Ui& SystemInstance<Ui>() {
  static HeadlessUi instance;
  return instance;
}

}  // namespace plat
