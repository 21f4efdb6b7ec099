/** @file
  CHAR16 string constants from u"" literals: the one way the drivers and the apps
  write a firmware string.
  SPDX-License-Identifier: BSD-2-Clause-Patent
**/

#ifndef CHAR16_H_
#define CHAR16_H_

// The constexpr tables below, and the drivers' constexpr constants, need C++17; an older
// standard fails far from here, or builds a table at run time no firmware would run.
#if __cplusplus < 201703L
  #error "the firmware sources are C++17: build with -std=gnu++17 or later"
#endif

extern "C" {
#include <Base.h>
}

// In C++ a u"" literal is an array of char16_t, a type of its own, so it fills no CHAR16
// array and converts to no CHAR16 pointer. Char16 copies one into a CHAR16 array while
// compiling, so the constant costs no code:
//
//   constexpr auto  mConInName = Char16 (u"ConIn");        // a named constant; pass mConInName.Text
//   Print (CHAR16_TEXT (u"%s: copied\n"), Path);            // the same constant, unnamed, in place
//
// Some interfaces take a CHAR16 * (or CHAR8 *) they only read: the strings of an
// EFI_UNICODE_STRING_TABLE, a component name's SupportedLanguages, the name passed to
// GetVariable and SetVariable. The firmware never writes through those, so a caller
// passes its constant with a const_cast there.
template<UINTN N>
struct CHAR16_STRING {
  CHAR16    Text[N];
};

template<UINTN N>
constexpr CHAR16_STRING<N>
Char16 (
  const char16_t  (&Literal)[N]
  )
{
  CHAR16_STRING<N>  String = { };

  for (UINTN Index = 0; Index < N; Index++) {
    String.Text[Index] = Literal[Index];
  }

  return String;
}

// One constant per text, however many places write it: identical texts are one
// instance, which the linker keeps once, as it merges identical literals. The alignment
// stays a CHAR16's, as a literal's would.
template<CHAR16... Characters>
struct CHAR16_TEXT_CONSTANT {
  alignas (CHAR16) static constexpr CHAR16  Text[] = { Characters ... };
};

template<UINTN... Index>
struct CHAR16_INDEX_LIST { };

template<UINTN N, UINTN... Index>
struct CHAR16_INDICES : CHAR16_INDICES<N - 1, N - 1, Index...> { };

template<UINTN... Index>
struct CHAR16_INDICES<0, Index...> {
  using LIST = CHAR16_INDEX_LIST<Index...>;
};

template<typename LITERAL, UINTN... Index>
constexpr CONST CHAR16 *
Char16Text (
  CHAR16_INDEX_LIST<Index...>
  )
{
  return CHAR16_TEXT_CONSTANT<Char16 (LITERAL::Get ()).Text[Index] ...>::Text;
}

// CONST CHAR16 * to the constant Char16 makes of Literal; a constant expression, so it
// may initialise a table too.
#define CHAR16_TEXT(Literal)                                                                   \
  ([] {                                                                                        \
    struct LITERAL { static constexpr decltype (Literal) Get () { return Literal; } };         \
    return Char16Text<LITERAL> (CHAR16_INDICES<sizeof (Literal) / sizeof (char16_t)>::LIST ()); \
  } ())

#endif
