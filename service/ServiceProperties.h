#pragma once
// The package's properties for the service's settings, as /configureservice receives them:
// COMMPORT, BAUDRATE, DATABITS, PARITY, STOPBITS, DATAFILE, RUNATSTARTUP and OPERATORS.
#include <windows.h>

#include <map>
#include <string>

#include "platform/String.h"
#include "settings/ServiceParameters.h"

// The given values (an empty one was not given) applied over current, and the operators when
// OPERATORS is given ("BUILTIN\Users;TILL\Managers"). False, with refused naming the property
// and what it needs, when a value is not valid: nothing is then to be written at all, since a
// typo in a deployment's command line must not leave every PC capturing the wrong port.
bool ApplyServiceProperties(const std::map<std::string, std::string>& properties, ServiceParameters& current,
                            bool& operatorsGiven, CString& refused);

// At install, as SYSTEM: makes the Parameters key with its access list, takes the family key's
// settings when it has none, and writes the given values there and to the family key, which
// the recorder reads. ERROR_SUCCESS, or the failure with refused saying why.
DWORD ConfigureServiceParameters(const std::map<std::string, std::string>& properties, CString& refused);
