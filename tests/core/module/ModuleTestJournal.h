#pragma once

#include <string>
#include <vector>

// The doInit calls of the test modules, in order; shared by the test libraries and the test.
std::vector<std::string> &moduleTestJournal();
