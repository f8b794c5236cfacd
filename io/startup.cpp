#include "io/startup.h"

#include "io/network.h"
#include "io/param_fields.h"
#include "io/registry.h"

namespace lumenax {

void LumenaxStartup() {
  InitNetwork();
  BuildFormatRegistry();
  ParamFieldTable();
  IOPropertyTable();
}

}  // namespace lumenax
