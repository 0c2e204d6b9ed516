// Texts the installer builds for ODBC: attribute lists from their formats,
// connect-string values, and the server name of the SQL Server parameters.
#pragma once
#include <string>
#include <vector>

#include "tools/dbsetup/core/installer_host.h"

namespace qn::dbsetup {

// printf of an attribute-list format: each %c is the zero byte that ends an
// attribute, each %s the next argument in turn.
std::string AttributeList(const char* format, const std::vector<std::string>& arguments);

// The attributes of a list, in order.
std::vector<std::pair<std::string, std::string>> ParseAttributeList(const std::string& list);

// A value as it can stand in a connect string: in braces (inner "}"
// doubled) when it holds ';', '{' or '}', or has blanks at either end.
std::string ConnectValue(const std::string& value);

// Where the database server is: "(local)" is this machine on the standard
// port; "host,port" or "socket-directory,port" another; a name alone takes
// the standard port.
struct ServerAddress {
  std::string host;
  std::string port;
};
// False for an empty host or a port that is not a number from 1 to 65535.
bool ParseServerName(const std::string& serverName, ServerAddress& out);

// Parameters no data source or connect string can carry: control
// characters anywhere, or a server name that does not parse.
bool AcceptableSqlServerParams(const SqlServerParams& params);

}  // namespace qn::dbsetup
