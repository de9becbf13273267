// The locale and message catalogue of the program, set up from the environment when first needed.
//
// Loading a locale costs more than the rest of a typical run, and only diagnostics and unusual
// integer operands depend on it, so the set-up is recorded at start-up and carried out on first
// use: before any diagnostic, and before a byte of an integer operand is judged whose blankness
// depends on the locale. The results are the same as with an eager set-up.
#pragma once

namespace tevu::condition {

// Records that the locale comes from the environment and the catalogues of domain from localedir.
void configure_locale(const char* domain, const char* localedir);

// Carries out the recorded set-up once; does nothing when none was recorded.
void ensure_locale();

// The translation of a message (after the set-up).
const char* translated(const char* message);

}  // namespace tevu::condition
