#pragma once

namespace quillmere::extract {

// Where AddressSanitizer and UndefinedBehaviorSanitizer run, the sandbox lets them work: no
// address-space limit (the shadow memory reserves terabytes), standard error kept for their
// reports, and writes to any descriptor and pipes (the vtable check reads memory through a pipe).
#ifdef QUILLMERE_SANITIZE
inline constexpr bool SanitizerBuild = true;
#else
inline constexpr bool SanitizerBuild = false;
#endif

} // namespace quillmere::extract
