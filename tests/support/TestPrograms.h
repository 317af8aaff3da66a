#pragma once

#include <QString>

// The programs of the build tree the tests run in, wherever that tree lies
// (IDEs build outside the source folder). A test that starts one declares it
// in its corvane_add_test line so that it is built first.
namespace TestPrograms {

QString corvane();
QString corvanectl();
QString virtualDevice();

} // namespace TestPrograms
