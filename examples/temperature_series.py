#!/usr/bin/python3
"""The same spectrum at several air temperatures of the virtual apparatus: the resonances move
with the speed of sound. With the real sphere, leave out APP:TEMP and measure every few minutes
while it warms up.
Start the program first: sonarix --virtual --remote"""
import os

import pyvisa

RESOURCE = os.environ.get("SONARIX_RESOURCE", "TCPIP::127.0.0.1::5025::SOCKET")

rm = pyvisa.ResourceManager("@py")
sonarix = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n",
                           timeout=600000)
sonarix.write("*RST;*CLS;:FREQ:STAR 3500;STOP 3900;STEP 2;:SWE:DWEL 20")
for celsius in (10, 20, 30, 40):
    sonarix.write(f"APP:TEMP {celsius}")
    sonarix.query("INIT;*OPC?")
    values = sonarix.query_ascii_values("TRAC:DATA?")
    frequencies, amplitudes = values[0::2], values[1::2]
    peak = max(range(len(amplitudes)), key=amplitudes.__getitem__)
    print(f"{celsius:3d} C: the resonance at {frequencies[peak]:.1f} Hz")
    sonarix.write(f'MMEM:STOR:TRAC 1,"spectrum-{celsius}C.dat"')
print(sonarix.query("SYST:ERR?"))
