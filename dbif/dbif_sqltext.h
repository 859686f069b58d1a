// Statement text as the engines that take the tool's statements nearly unchanged see it:
// quoted text, comments and hint phrases "#DBIF_HINT(...)".
#pragma once

#include <cstddef>
#include <string>

// Position behind the quoted text (quote character at i, doubled quotes inside), or n.
size_t dbif_skipquoted(const char16_t* s, size_t n, size_t i);
// Position behind a comment starting at i, or i when none starts there.
size_t dbif_skipcomment(const char16_t* s, size_t n, size_t i);
// Position behind the bracket that closes a hint phrase whose content starts at i, or n + 1.
size_t dbif_hintend(const char16_t* s, size_t n, size_t i);

// The statement in *out with every hint phrase outside quoted text and comments replaced by a
// blank. Returns the number of parameter markers "?" outside quoted text and comments, or -1
// when a phrase has no closing bracket (the text from there on is then copied unchanged).
long dbif_striphints(const char16_t* sql, std::u16string* out);
