// Names of code addresses for reports and traces ("TickDpc in tarveltest.so").
#pragma once

#include <string>

namespace tarvel::kernel::exec {
std::string SymbolName(const void* address);
}
