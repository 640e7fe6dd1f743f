// The module description and the module sections of configuration documents.
//
// Interim state: configuration documents are left as they are.
#include "QTX.h"

bool CQTX::UpdateConfigurationFileXml(const std::string& /*fileName*/, bool /*textOnly*/)
{
    return true;
}

std::string CQTX::FileNameToAbsolutePath(const std::string& name) const
{
    if (!name.empty() && name[0] == '/')
        return name;
    return sDirectory + name;
}
