// doctest's implementation, compiled once for all the Qt-free test programs;
// each program has its own main, which sets up what its cases share and runs
// doctest::Context.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest/doctest.h>
