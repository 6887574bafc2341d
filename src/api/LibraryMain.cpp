// SPDX-License-Identifier: MIT
// The shared library's own translation unit. The library's code lives in
// the static core that is linked in whole; loading the library runs only
// static initialisation.
