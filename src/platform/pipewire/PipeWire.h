#pragma once

// libpipewire and SPA for this road's own files. Their headers build C
// compound literals in macros, which ISO C++ frowns upon; they are C's idiom
// and harmless here.

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/buffers.h>
#include <spa/pod/builder.h>
#include <spa/utils/json.h>
#pragma GCC diagnostic pop

namespace platform::pipewire {

// pw_init, once for the process.
void initialise();

} // namespace platform::pipewire
