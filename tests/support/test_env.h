// Helpers shared by the test suites: environment variables, scratch folders and the path of the
// simulated SDK beside the test executable.
#pragma once

#include <string>

namespace brelon::test {

void SetEnv(const char* name, const char* value);  // value null unsets
std::string TempDir(const std::string& tag);       // a fresh, empty folder
std::string CorpusDir();                           // ../shared/corpus
std::string DataDir();                             // tests/data

}  // namespace brelon::test
