#pragma once
// Version of the library.

namespace vexa {

/// "@(#)PROGRAM:VexaTokenKit  PROJECT:VexaTokenKit-1.0.0-beta3" followed by a line feed.
extern const char VexaTokenKitVersionString[];
extern const double VexaTokenKitVersionNumber;

}  // namespace vexa
