// GUIDs defined with DEFINE_GUID are inline variables here, so defining
// INITGUID changes nothing; the header exists for code that includes it.
#pragma once

#define INITGUID
