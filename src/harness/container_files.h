// The file and workspace requests of the container dispatcher, and the payload decoding all
// requests share. Internal to the harness.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/result.h"
#include "harness/container.h"

namespace tw {

// A decoded base64 payload and the memory charged for it, which the request gives back when done.
struct Payload {
    Bytes bytes;
    std::uint64_t charge = 0;
};

// "payload exceeds the 67108864-byte transfer limit"; charges len / 4 * 3 + 3 bytes of memory
// ("memory limit exceeded while decoding request bytes"); "invalid base64 data: {}" (the charge
// given back).
Result<Payload, std::string> harness_decode_payload(Machine& machine, std::string_view text);

Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::ReadFile& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::WriteFile& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::ReadPathMetadata& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::MakeDirectory& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::MakeSymlink& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::ApplyPatch& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::RemovePath& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::ListPaths& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::CheckpointWorkspace& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::WorkspaceDiff& r);
Result<HarnessResult, std::string> dispatch_file_request(HarnessContainer& c, request::RestoreWorkspace& r);

}  // namespace tw
