// Start-up of the library. The process-wide settings (bitmap/settings.h, DefaultDPI,
// QuantizerMethod and NeuralSampleQuality) start at their defaults; a program that wants
// other values sets them before it calls LumenaxStartup and before any image is loaded,
// and never changes them afterwards: they are read without locking from every thread.
#pragma once

namespace lumenax {

// Initialises the network library and builds the format registry and the table of
// parameter names. Safe to call any number of times and from several threads; everything it
// builds would otherwise be built on first use.
void LumenaxStartup();

}  // namespace lumenax
