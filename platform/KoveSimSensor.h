// The CPU's temperature sensor of a simulated device, "/dev/LM75": control request 0 fills a
// 32-bit word whose low 16 bits are the temperature in 1/256 degree Celsius (signed). Its
// state is one line in dev/lm75, the sensor word in hexadecimal; a device without that file
// reads 40.0 degrees.
#ifndef KOVE_SIM_SENSOR_H
#define KOVE_SIM_SENSOR_H

#include <cstdint>
#include <string>

// The word the sensor of the device in dir reports. 0, or -1 with errno.
int SimSensorRead(const std::string& dir, uint32_t* word);
// Sets it. 0, or -1 with a sentence in err.
int SimSensorSet(const std::string& dir, uint32_t word, std::string* err);

#endif
