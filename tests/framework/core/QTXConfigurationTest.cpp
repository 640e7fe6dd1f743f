// Stored configurations, factory defaults, file copies and the module's identity stamp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <functional>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "KoveTestSupport.h"
#include "QTX.h"

namespace
{
class CConfigDriver : public CQTX
{
public:
    std::string GetModuleName() override { return sModuleName; }
    void InitCQTX() override {}
    void BootHardware() override {}
    bool ParseAndCheckConfiguration(int& /*setIndex*/) override { return true; }
    void SetHardwareConfiguration() override {}

    // What Init would set up for a driver of that name on that port, without opening it.
    // A driver with a port above 62000 unregisters at its end: not this one, which never
    // registered.
    ~CConfigDriver() override { ulPort = 0; }

    void Prepare(const std::string& directory, uint32_t port, const std::string& name)
    {
        sDirectory = directory;
        ulPort = port;
        sModuleName = name;
        sFileName = name;
        for (char& c : sFileName)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        sConfigurationDirectory = directory + "Configuration/";
    }
    bool Load(const std::string& path) { return LoadCommandFile(path.c_str(), 0x101) == 0; }
    static bool Replace(const std::string& path,
                        const std::function<bool(const std::string&)>& write)
    {
        return ReplaceFile(path, write);
    }
    std::string Order() const { return sOrderNumber; }
    std::string Serial() const { return sSerialNumber; }
    std::string Hw() const { return sHwVersion; }
    std::string Sw() const { return sSwVersion; }
};

std::vector<std::string> FilesIn(const std::string& directory)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str()))
    {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string ModuleDocument(const std::string& name, const std::string& setting)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Module Name=\"" + name + "\"><Setting>" +
           setting + "</Setting></Module>\n";
}

class QTXConfiguration : public testing::Test
{
protected:
    void SetUp() override
    {
        sSavedRoot = sQTXRootDirectory;
        sQTXRootDirectory = tRoot.Path() + "/";
        sDir = tRoot.Path() + "/";
        mkdir((sDir + "log").c_str(), 0755);
        mkdir((sDir + "Configuration").c_str(), 0755);
    }
    void TearDown() override { sQTXRootDirectory = sSavedRoot; }

    std::string Config(const std::string& name) const { return sDir + "Configuration/" + name; }

    kovetest::CTempDir tRoot;
    std::string sSavedRoot;
    std::string sDir;
};

TEST_F(QTXConfiguration, SetsAreStoredUnderTheirNumberAndOnlyFrameworkNumbersAreReplaced)
{
    const struct
    {
        const char* module;
        const char* name;
        int set;
        const char* stored;
    } cases[] = {
        {"XY", "Config_62101_XY.xml", 2, "Config_62101_XY_2.xml"},
        {"XY", "Config_62101_XY_7.xml", 0, "Config_62101_XY.xml"},
        {"XY", "Config_62101_XY_7.xml", 3, "Config_62101_XY_3.xml"},
        // A module whose own name ends like a set number keeps it.
        {"Mod-4", "Config_62101_Mod_4.xml", 0, "Config_62101_Mod_4.xml"},
        {"Mod-4", "Config_62101_Mod_4.xml", 3, "Config_62101_Mod_4_3.xml"},
        {"Mod-4", "Config_62101_Mod_4_3.xml", 0, "Config_62101_Mod_4.xml"},
        {"7", "Config_62101_7_7.xml", 0, "Config_62101_7.xml"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::string(c.module) + " " + c.name + " " + std::to_string(c.set));
        kovetest::CTempDir dir;
        const std::string directory = dir.Path() + "/";
        mkdir((directory + "Configuration").c_str(), 0755);
        CConfigDriver driver;
        driver.Prepare(directory, 62101, c.module);
        WriteFile(directory + "request.xml", ModuleDocument(c.module, "x"));
        ASSERT_TRUE(driver.Load(directory + "request.xml"));

        driver.StoreConfiguration(directory + "Configuration/" + c.name, c.set);
        EXPECT_EQ(std::vector<std::string>{c.stored}, FilesIn(directory + "Configuration"));
        // A relative name lies in the driver directory.
        driver.StoreConfiguration(c.name, c.set);
        EXPECT_TRUE(std::ifstream(directory + c.stored).good());
    }
}

TEST_F(QTXConfiguration, TheConfigurationNameOfASetDoesNotChangeTheIndex)
{
    CConfigDriver driver;
    driver.Prepare(sDir, 62101, "XY-10V");
    int set = 3;
    EXPECT_EQ(Config("Config_62101_XY_10V_3.xml"), driver.GetConfigurationFileName(set));
    EXPECT_EQ(3, set);
    set = 0;
    EXPECT_EQ(Config("Config_62101_XY_10V.xml"), driver.GetConfigurationFileName(set));
}

TEST_F(QTXConfiguration, AFailedStoreKeepsTheOldFileAndIsReported)
{
    CConfigDriver driver;
    driver.Prepare(sDir, 62101, "XY");
    const std::string stored = Config("Config_62101_XY.xml");
    WriteFile(stored, ModuleDocument("XY", "old"));

    // A writer that fails half-way leaves neither a cut file nor its temporary file.
    EXPECT_FALSE(CConfigDriver::Replace(stored,
                                        [](const std::string& file)
                                        {
                                            WriteFile(file, "<?xml version=\"1.0\"?>\n<Mod");
                                            return false;
                                        }));
    EXPECT_EQ(ModuleDocument("XY", "old"), kovetest::ReadFile(stored));
    EXPECT_EQ(std::vector<std::string>{"Config_62101_XY.xml"}, FilesIn(sDir + "Configuration"));

    // Nothing to store: the error goes to the log.
    driver.StoreConfiguration(stored, 0);
    EXPECT_EQ(ModuleDocument("XY", "old"), kovetest::ReadFile(stored));
    EXPECT_NE(kovetest::ReadFile(sDir + "log/Slot62101_log.txt").find("ErrorWritingConfiguration"),
              std::string::npos);

    // A successful replacement keeps the file's mode.
    chmod(stored.c_str(), 0640);
    EXPECT_TRUE(CConfigDriver::Replace(stored,
                                       [](const std::string& file)
                                       {
                                           WriteFile(file, "new");
                                           return true;
                                       }));
    EXPECT_EQ("new", kovetest::ReadFile(stored));
    struct stat info;
    ASSERT_EQ(0, stat(stored.c_str(), &info));
    EXPECT_EQ(0640u, info.st_mode & 07777);
    EXPECT_EQ(std::vector<std::string>{"Config_62101_XY.xml"}, FilesIn(sDir + "Configuration"));
}

TEST_F(QTXConfiguration, FactoryDefaultsReplaceOnlyTheSetsTheyHave)
{
    CConfigDriver driver;
    driver.Prepare(sDir, 62101, "XY");
    for (int set = 0; set < 10; ++set)
    {
        const std::string suffix = set == 0 ? "" : "_" + std::to_string(set);
        WriteFile(Config("Config_62101_XY" + suffix + ".xml"), ModuleDocument("XY", "old"));
    }
    WriteFile(sDir + "FactoryDefault.xml", ModuleDocument("XY", "factory0"));
    WriteFile(sDir + "FactoryDefault_3.xml", ModuleDocument("XY", "factory3"));

    // The configuration name may carry a set number of its own.
    driver.CopyFactoryDefault("FactoryDefault.xml", Config("Config_62101_XY_5.xml"));
    EXPECT_NE(kovetest::ReadFile(Config("Config_62101_XY.xml")).find("factory0"),
              std::string::npos);
    EXPECT_NE(kovetest::ReadFile(Config("Config_62101_XY_3.xml")).find("factory3"),
              std::string::npos);
    for (int set : {1, 2, 4, 5, 9})
        EXPECT_EQ(ModuleDocument("XY", "old"),
                  kovetest::ReadFile(Config("Config_62101_XY_" + std::to_string(set) + ".xml")))
            << set;
    EXPECT_EQ(10u, FilesIn(sDir + "Configuration").size());
}

TEST_F(QTXConfiguration, CopyFileCopiesWholeFilesOrNothing)
{
    CConfigDriver driver;
    driver.Prepare(sDir, 0, "XY");
    std::string data;
    for (int i = 0; i < 10000; ++i)
        data += static_cast<char>(i * 7);
    WriteFile(sDir + "source.bin", data);

    EXPECT_TRUE(driver.CopyFile("copy.bin", "source.bin"));
    EXPECT_EQ(data, kovetest::ReadFile(sDir + "copy.bin"));
    WriteFile(sDir + "empty.bin", "");
    EXPECT_TRUE(driver.CopyFile(sDir + "copy2.bin", sDir + "empty.bin"));
    EXPECT_EQ("", kovetest::ReadFile(sDir + "copy2.bin"));

    EXPECT_FALSE(driver.CopyFile("copy.bin", "missing.bin"));
    EXPECT_EQ(data, kovetest::ReadFile(sDir + "copy.bin"));
    EXPECT_FALSE(driver.CopyFile("no-such-dir/copy.bin", "source.bin"));
}

// A 512-byte EEPROM image with the stamp fields at their offsets.
std::string StampImage(const std::string& name, const std::string& order, const std::string& serial,
                       const std::string& versions)
{
    std::string image(512, '\0');
    image.replace(16, serial.size(), serial);
    image.replace(32, name.size(), name);
    image.replace(64, order.size(), order);
    image.replace(128, versions.size(), versions);
    return image;
}

TEST_F(QTXConfiguration, TheStampComesFromTheImageOrTheProductTable)
{
    const struct
    {
        const char* what;
        uint32_t port;
        std::string image; // empty: no file
        const char* order;
        const char* serial;
        const char* hw;
        const char* sw;
    } cases[] = {
        {"image of this module", 62102, StampImage("QORQM8XICP", "52.999999", "123456", "0A0B"),
         "52.999999", "123456", "0A", "0B"},
        {"image of another module", 62102, StampImage("other", "52.999999", "123456", "0A0B"),
         "52.374300", "0", "--", "--"},
        {"short image", 62100, StampImage("qorQM8xICP", "1", "2", "3").substr(0, 511), "52.374300",
         "0", "--", "--"},
        {"no image", 62104, "", "52.374300", "0", "--", "--"},
        {"not a module slot", 62105, StampImage("qorQM8xICP", "52.999999", "1", "0A0B"), "", "",
         "--", "--"},
        {"system driver", 62000, "", "", "", "--", "--"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.what);
        kovetest::CTempDir dir;
        CConfigDriver driver;
        driver.Prepare(dir.Path() + "/", c.port, "qorQM8xICP");
        if (!c.image.empty())
            WriteFile(dir.Path() + "/EEProm.bin", c.image);
        driver.ProcessStampData();
        EXPECT_EQ(c.order, driver.Order());
        EXPECT_EQ(c.serial, driver.Serial());
        EXPECT_EQ(c.hw, driver.Hw());
        EXPECT_EQ(c.sw, driver.Sw());
    }
}

TEST_F(QTXConfiguration, StampTextsEndWithTheImage)
{
    CConfigDriver driver;
    driver.Prepare(sDir, 62101, "Tst");
    std::string image = StampImage("Tst", "", "", "");
    for (size_t i = 64; i < 512; ++i)
        image[i] = '9'; // no terminator up to the end of the image
    WriteFile(sDir + "EEProm.bin", image + "tail that is not part of the image");
    driver.ProcessStampData();
    EXPECT_EQ(std::string(448, '9'), driver.Order());
    EXPECT_EQ("99", driver.Hw());
}
} // namespace
