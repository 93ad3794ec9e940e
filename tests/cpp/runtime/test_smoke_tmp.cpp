#include "runtime/broadcast.hpp"
#include "runtime/bounded_queue.hpp"
#include "runtime/cancellation.hpp"
#include "runtime/interval.hpp"
#include "runtime/notifier.hpp"
#include "runtime/periodic.hpp"
#include <gtest/gtest.h>
TEST(Smoke, Builds) { SUCCEED(); }
