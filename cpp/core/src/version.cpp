#include "alvora/version.hpp"

namespace alvora {

const char* core_version() { return "0.1.0"; }

}  // namespace alvora
