// ReadLevel on known signals.
#include <gtest/gtest.h>
