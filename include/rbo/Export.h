// Symbol visibility of the RBO shared library.
//
// librbo is built with hidden visibility: only what is marked RBO_API is
// exported.  The host's declarations are marked RBO_HOST_API so that their
// type information is shared between the library and any host that defines
// them (exceptions thrown by host code must be catchable in the library and
// the other way round).
#pragma once

#if defined(_WIN32)
#if defined(RBO_BUILDING_LIBRARY)
#define RBO_API __declspec(dllexport)
#else
#define RBO_API __declspec(dllimport)
#endif
#define RBO_HOST_API
#else
#define RBO_API __attribute__((visibility("default")))
#define RBO_HOST_API __attribute__((visibility("default")))
#endif
