#!/usr/bin/python3
"""One stepped spectrum read into Python and saved by the program.
Start the program first: sonarix --virtual --remote"""
import os

import pyvisa

RESOURCE = os.environ.get("SONARIX_RESOURCE", "TCPIP::127.0.0.1::5025::SOCKET")

rm = pyvisa.ResourceManager("@py")
sonarix = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n",
                           timeout=600000)
print(sonarix.query("*IDN?"))
sonarix.write("*RST;*CLS")
sonarix.write("FREQ:STAR 2000;STOP 3000;STEP 5;:SWE:DWEL 20;:TRAC:SLOT 1")
sonarix.query("INIT;*OPC?")  # answers when the sweep has ended
values = sonarix.query_ascii_values("TRAC:DATA?")
frequencies, amplitudes = values[0::2], values[1::2]
peak = max(range(len(amplitudes)), key=amplitudes.__getitem__)
print(f"{len(frequencies)} points, the highest at {frequencies[peak]} Hz")
sonarix.write('MMEM:STOR:TRAC 1,"spectrum.dat"')
print(sonarix.query("SYST:ERR?"))
