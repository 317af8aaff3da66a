#pragma once

#include <memory>

class MultipleLaunchCheckerImpl;

// Implemented once per platform, beside that platform's checker.
std::unique_ptr<MultipleLaunchCheckerImpl> createPlatformLaunchCheckerImpl();
