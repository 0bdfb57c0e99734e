// The administrator check.
//
// A process counts as administrator when its effective uid is 0, or when the
// machine root is relocated (TAV_ROOT) to a folder the user can write, so the
// demo and the tests run unprivileged. TAV_TEST_NOT_ADMIN=1 forces the answer
// to false, so tests can walk the refusal path while running as root.
#pragma once

namespace platform {

bool IsAdministrator();

}  // namespace platform
