#include "VexaTokenKit/VexaTokenKitVersion.h"

namespace vexa {

const char VexaTokenKitVersionString[] = "@(#)PROGRAM:VexaTokenKit  PROJECT:VexaTokenKit-1.0.0-beta3\n";
const double VexaTokenKitVersionNumber = 1.0;

}  // namespace vexa
