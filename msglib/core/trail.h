// One-character edits at the end of a path. Both return their argument and do
// nothing for a null pointer or an empty string.
#ifndef ZANDREL_TRAIL_H
#define ZANDREL_TRAIL_H

// Removes the last character when it equals `ch`.
char* Strip_Trailing(char* s, char ch);
// Appends `ch` unless the string already ends with it. The caller guarantees
// room for one more character and the terminator.
char* Add_Trailing(char* s, char ch);

#endif
