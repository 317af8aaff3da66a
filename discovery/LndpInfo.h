#pragma once

#include "lndp_types.h"
#include "ResultCode.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Apps {

// A device identity read from an accepted LNDP host record: a responder of a
// supported model that names itself in its extended information.
class LndpInfo
{
public:
    // The cases of importLndpApiHostInfo; the getters answer
    // ResultCode::kFailure for a null output.
    static constexpr int32_t kNullArgument = ResultCode::failure(ResultCode::Facility::General, 2);
    static constexpr int32_t kRejected = ResultCode::failure(ResultCode::Facility::General, 3);
    // A well-formed device answer of a model this program does not work
    // with: the address, MAC, model and name are read all the same.
    static constexpr int32_t kUnsupportedModel = ResultCode::failure(ResultCode::Facility::General, 4);

    LndpInfo();

    // ResultCode::kSuccess, kNullArgument, kUnsupportedModel, or kRejected
    // for anything else that is not a supported device. Never reads past the
    // record's extended information.
    int32_t importLndpApiHostInfo(const _LNDP_HOST_INFO* host);

    int32_t getIpAddrType(uint8_t* out) const;
    int32_t getIpAddr(netc_addr* out) const;
    int32_t getMacAddr(uint8_t* out) const;
    // The string's bytes without a terminator; see modelName() / hostName().
    int32_t getModelName(uint8_t* out) const;
    int32_t getHostName(uint8_t* out) const;

    const std::string& modelName() const { return m_modelName; }
    const std::string& hostName() const { return m_hostName; }
    const std::vector<std::string>& supportedModels() const { return m_supportedModels; }

private:
    uint8_t m_ipAddrType = 0;
    netc_addr m_ipAddr = {};
    uint8_t m_macAddr[6] = {};
    std::string m_modelName;
    std::string m_hostName;
    std::vector<std::string> m_supportedModels;
};

} // namespace Apps
