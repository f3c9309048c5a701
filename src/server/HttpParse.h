#pragma once

// Every pure text rule of the web server at once, for code outside the server that wants
// them together. The server's own files include the one header they use.

#include "model/HostChecks.h"
#include "server/DirectoryListing.h"
#include "server/Escaping.h"
#include "server/HitLogText.h"
#include "server/HttpSyntax.h"
#include "server/ScriptEnvironment.h"
#include "server/UrlMapping.h"
