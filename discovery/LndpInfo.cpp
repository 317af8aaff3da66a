#include "LndpInfo.h"

#include <algorithm>
#include <cstring>

namespace Apps {

namespace {

constexpr uint8_t kResponderFlags = 0x80; // role bit set, status 0
constexpr uint8_t kEndOfList = 255;

// A string of the extended information, used up to its first zero byte.
std::string readString(const uint8_t* bytes, size_t length)
{
    const auto end = std::find(bytes, bytes + length, uint8_t{0});
    return std::string(bytes, end);
}

} // namespace

LndpInfo::LndpInfo()
    : m_supportedModels{"TQ-730", "TQ-360"}
{
}

int32_t LndpInfo::importLndpApiHostInfo(const _LNDP_HOST_INFO* host)
{
    if (host == nullptr)
        return kNullArgument;
    if (host->rawFlags != kResponderFlags || (host->rawAddrFamily != 4 && host->rawAddrFamily != 6))
        return kRejected;
    const size_t length = std::min<size_t>(host->exInfoLen, sizeof(host->exInfo));
    if (length == 0)
        return kRejected;

    // Strings: 1 unused, 2 model, 3 device name. Each must lie wholly inside
    // the extended information; a third string cut short by its end marks a
    // damaged datagram and is rejected like a missing one.
    std::string model;
    std::string name;
    size_t offset = 0;
    for (int counter = 1; counter <= 3; ++counter) {
        if (offset >= length)
            return kRejected;
        const uint8_t stringLength = host->exInfo[offset];
        if (stringLength == kEndOfList)
            return kRejected;
        if (offset + 1 + stringLength > length)
            return kRejected;
        const uint8_t* bytes = host->exInfo + offset + 1;
        if (counter == 2)
            model = readString(bytes, stringLength);
        else if (counter == 3)
            name = readString(bytes, stringLength);
        offset += 1u + stringLength;
    }

    m_ipAddrType = host->rawAddrFamily;
    m_ipAddr = host->hostAddr;
    std::memcpy(m_macAddr, host->macAddr, sizeof(m_macAddr));
    const bool supported
        = std::find(m_supportedModels.cbegin(), m_supportedModels.cend(), model) != m_supportedModels.cend();
    m_modelName = std::move(model);
    m_hostName = std::move(name);
    return supported ? ResultCode::kSuccess : kUnsupportedModel;
}

int32_t LndpInfo::getIpAddrType(uint8_t* out) const
{
    if (out == nullptr)
        return ResultCode::kFailure;
    *out = m_ipAddrType;
    return ResultCode::kSuccess;
}

int32_t LndpInfo::getIpAddr(netc_addr* out) const
{
    if (out == nullptr)
        return ResultCode::kFailure;
    *out = m_ipAddr;
    return ResultCode::kSuccess;
}

int32_t LndpInfo::getMacAddr(uint8_t* out) const
{
    if (out == nullptr)
        return ResultCode::kFailure;
    std::memcpy(out, m_macAddr, sizeof(m_macAddr));
    return ResultCode::kSuccess;
}

int32_t LndpInfo::getModelName(uint8_t* out) const
{
    if (out == nullptr)
        return ResultCode::kFailure;
    std::memcpy(out, m_modelName.data(), m_modelName.size());
    return ResultCode::kSuccess;
}

int32_t LndpInfo::getHostName(uint8_t* out) const
{
    if (out == nullptr)
        return ResultCode::kFailure;
    std::memcpy(out, m_hostName.data(), m_hostName.size());
    return ResultCode::kSuccess;
}

} // namespace Apps
