#pragma once
// The launcher's version, everywhere it is reported (log, hello, update checks, build label).
inline constexpr const char kLauncherVersion[] = "0.1.8";
