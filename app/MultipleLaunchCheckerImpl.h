#pragma once

// Platform part of the single-instance guard.
class MultipleLaunchCheckerImpl
{
public:
    virtual ~MultipleLaunchCheckerImpl() = default;
    // True when another instance of this executable runs; the operator has
    // then already been told. Claims the instance lock otherwise (where the
    // platform allows), holding it until the process ends.
    virtual bool alreadyLaunched() = 0;
};
