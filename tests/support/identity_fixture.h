// Identity fixtures (tests/fixtures/identity/<name>) for tests and host runs.
#ifndef TESTS_PARAMS_SUPPORT_IDENTITY_FIXTURE_H
#define TESTS_PARAMS_SUPPORT_IDENTITY_FIXTURE_H

#include <string>

// The folder of a fixture in the source tree.
std::string identityFixtureDir(const std::string& name);

// Copies the fixture's files (conf.d/..., flash/...) into the data root,
// replacing files of the same name; false when the fixture does not exist
// or a copy fails.
bool layIdentityFixture(const std::string& name, const std::string& dataRoot);

#endif
