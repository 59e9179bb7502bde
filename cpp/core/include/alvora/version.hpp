#pragma once

namespace alvora {

// Version of the numeric core, reported by the extension modules.
const char* core_version();

}  // namespace alvora
