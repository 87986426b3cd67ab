// What the serial line between host and chip is made of.
#pragma once

// A byte on the wire: start bit, eight data bits, stop bit.
const int bitsPerByte = 10;
