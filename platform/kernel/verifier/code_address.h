// Code addresses as the verifier's reports name them: function and offset, source line when the module
// has line tables, module and offset ("TakeBThenA+0x2f (verifier_test.cpp:210) in tarvel_core_tests+0x1a2f").
#pragma once

#include <string>

namespace tarvel::kernel::verifier {

// A return address names the call instruction before it (returnAddress = true).
std::string DescribeCode(const void* address, bool returnAddress = true);

}  // namespace tarvel::kernel::verifier
