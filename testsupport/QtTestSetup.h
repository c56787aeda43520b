#pragma once

#include <functional>

namespace testsupport {

// Registers work that the Qt test main runs once the QApplication exists and before the first
// test, such as installing the program's hooks. Use it from a static object in a test file:
//   static const bool registered = testsupport::AddQtTestSetup([] { ... });
bool AddQtTestSetup(std::function<void()> setup);

}  // namespace testsupport
