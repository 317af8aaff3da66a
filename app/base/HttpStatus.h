#pragma once

// How the program reads a device's HTTP answers.
namespace HttpStatus {

// The statuses with which a device accepts a request and answers it: the
// only ones whose body is read.
constexpr bool isAccepted(int status)
{
    return status == 200 || status == 202 || status == 204;
}

} // namespace HttpStatus
