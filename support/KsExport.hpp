// KsExport: KS_API, the mark of what the library offers to applications.
//
// A shared build of the library hides every symbol except those declared
// with KS_API: the public classes (written `class KS_API TName`, which
// exports all their members, their type information and their virtual
// tables, so that applications can catch the library's errors by type and
// query its interfaces with dynamic_pointer_cast) and the public free
// functions. A static build and the applications compile the mark as the
// default visibility, which changes nothing for them.
//
// Threads: a macro only.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define KS_API __attribute__((visibility("default")))
#else
#define KS_API
#endif
