#include "io/startup.h"

#include "io/param_fields.h"
#include "io/registry.h"

namespace lumenax {

void LumenaxStartup() {
  BuildFormatRegistry();
  ParamFieldTable();
  IOPropertyTable();
}

}  // namespace lumenax
