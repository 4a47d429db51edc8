#include "support/fake_messenger.h"

#include <gtest/gtest.h>

namespace lumewell::testing {

void failTest(const std::string& what) { ADD_FAILURE() << what; }

}  // namespace lumewell::testing
