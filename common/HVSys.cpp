#include "HVSys.h"

namespace HV {
namespace Sys {

#define HV_SYS_DEFINE(name) decltype(&::name) name = &::name;
HV_SYS_CALLS(HV_SYS_DEFINE)
#undef HV_SYS_DEFINE

}  // namespace Sys
}  // namespace HV
