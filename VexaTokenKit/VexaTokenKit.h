#pragma once
// Everything an application needs to use tokens: the manager, the token, their delegates, the
// key store, the errors and the version.
#include "VexaTokenKit/VexaToken.h"
#include "VexaTokenKit/VexaTokenDelegate.h"
#include "VexaTokenKit/VexaTokenEncryptContainer.h"
#include "VexaTokenKit/VexaTokenError.h"
#include "VexaTokenKit/VexaTokenKitVersion.h"
#include "VexaTokenKit/VexaTokenManager.h"
#include "VexaTokenKit/VexaTokenManagerDelegate.h"
