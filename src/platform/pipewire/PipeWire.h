#pragma once

// libpipewire and SPA for this road's own files. Their headers build C
// compound literals and statement expressions in macros, which ISO C++
// frowns upon; they are C's and GNU's idiom and harmless here.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/buffers.h>
#include <spa/pod/builder.h>
#include <spa/utils/json.h>
#pragma GCC diagnostic pop
#ifdef __clang__
// Clang also sees their macros where they expand, in the road's own files;
// only those files include this header.
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#pragma clang diagnostic ignored "-Wc99-extensions"
#pragma clang diagnostic ignored "-Wgnu-zero-variadic-macro-arguments"
#endif

namespace platform::pipewire {

// pw_init, once for the process.
void initialise();

} // namespace platform::pipewire
