#pragma once

#include <memory>
#include <mutex>

class MultipleLaunchCheckerImpl;

// Refuses a second start of the same executable.
class MultipleLaunchChecker
{
public:
    // Creates the checker with this platform's implementation; returns 0.
    static int initialize();
    // Deletes the checker (releasing any lock it holds). Accepts a checker
    // that was never initialised.
    static void finalize();

    bool alreadyLaunched();

    ~MultipleLaunchChecker();

    static MultipleLaunchChecker* m_instance;

private:
    explicit MultipleLaunchChecker(std::unique_ptr<MultipleLaunchCheckerImpl> impl);

    std::unique_ptr<MultipleLaunchCheckerImpl> m_impl;
    static std::mutex s_lifecycleMutex;
};
