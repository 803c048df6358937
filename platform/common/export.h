// Symbols that leave a shared library. Everything else of ours is built with hidden visibility.
#pragma once

#define TM_EXPORT __attribute__((visibility("default")))
