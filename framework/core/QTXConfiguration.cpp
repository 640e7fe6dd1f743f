// Stored configurations, factory defaults and the module's identity stamp.
//
// Interim state: StoreConfiguration and CopyFactoryDefault do not write anything yet, and
// ProcessStampData keeps the stamp data as constructed.
#include "QTX.h"

#include "QTXStringFile.h"

std::string CQTX::GetConfigurationFileName(int& setIndex)
{
    return AddFileNumber(sConfigurationDirectory + "Config_" + std::to_string(ulPort) + "_" +
                             sFileName + ".xml",
                         setIndex);
}

std::string CQTX::GetFactorySettingFileName()
{
    return "FactoryDefault.xml";
}

std::string CQTX::GetDUFConfigurationFileName()
{
    return "ForDUF.xml";
}

void CQTX::StoreConfiguration(const std::string& /*name*/, int /*setIndex*/) {}

void CQTX::CopyFactoryDefault(const std::string& /*factoryName*/, const std::string& /*configName*/)
{
}

void CQTX::ProcessStampData() {}
