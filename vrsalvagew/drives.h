// The computer's optical drives, for the window's drive list.
#pragma once

#include <string>
#include <vector>

struct OpticalDrive {
    std::string letter;  // "E"
    std::string label;   // "E:  VENDOR PRODUCT  (DVD-RW Restricted Overwrite)"
};

// Each drive letter of a CD or DVD drive, with the vendor and product of its INQUIRY
// data and the name of its current profile; a drive that does not answer says why.
std::vector<OpticalDrive> listOpticalDrives();
