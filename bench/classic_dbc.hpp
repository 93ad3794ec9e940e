// The 8-signal classic frame that the decode, per-frame and codec benchmarks measure.
#pragma once

namespace orvik::bench {

// A typical powertrain-style frame: mixed byte orders, mostly scaled, a few identity fields.
inline constexpr const char* kClassicDbc = R"(VERSION ""

BU_: ECU

BO_ 291 Classic: 8 ECU
 SG_ S0 : 0|12@1+ (0.25,0) [0|0] "" ECU
 SG_ S1 : 12|4@1+ (1,0) [0|0] "" ECU
 SG_ S2 : 23|16@0- (0.01,-10) [0|0] "" ECU
 SG_ S3 : 32|8@1+ (1,-40) [0|0] "" ECU
 SG_ S4 : 47|7@0+ (2,0) [0|0] "" ECU
 SG_ S5 : 48|2@1+ (1,0) [0|0] "" ECU
 SG_ S6 : 50|6@1- (0.5,0) [0|0] "" ECU
 SG_ S7 : 63|8@0+ (0.1,0) [0|0] "" ECU
)";

}  // namespace orvik::bench
