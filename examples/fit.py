#!/usr/bin/python3
"""A spectrum around two resonances with phases, their peaks found and fitted; prints each
peak with its standard errors and saves the fit's parameters and report.
Start the program first: sonarix --virtual --remote"""
import os

import pyvisa

RESOURCE = os.environ.get("SONARIX_RESOURCE", "TCPIP::127.0.0.1::5025::SOCKET")

rm = pyvisa.ResourceManager("@py")
sonarix = rm.open_resource(RESOURCE, read_termination="\n", write_termination="\n",
                           timeout=600000)
sonarix.write("*RST;*CLS;:FREQ:STAR 2000;STOP 2600;STEP 2;:SWE:DWEL 20;:TRAC:SLOT 1")
# With lock-in and the calibrated latency the spectrum has phases: close peaks are told apart.
sonarix.query("CAL:LAT;*OPC?")
sonarix.write("LOCK ON")
sonarix.query("INIT;*OPC?")
sonarix.write("FIT:OPEN 1;:FIT:RANG 2100,2500")
sonarix.query("FIT:PEAK:FIND;*OPC?")  # the peaks the fit starts from
sonarix.query("FIT;*OPC?")  # answers when the fit has ended
values = sonarix.query_ascii_values("FIT:PEAK?")
for k in range(0, len(values), 8):
    f, width, amplitude, phase, df, dwidth, damplitude, dphase = values[k:k + 8]
    print(f"{f:.2f} ± {df:.2f} Hz, width {width:.2f} ± {dwidth:.2f} Hz, "
          f"amplitude {amplitude:.3f} ± {damplitude:.3f}, Q = {f / width:.0f}")
sonarix.write('MMEM:STOR:FIT:PAR "fit-parameters.par";:MMEM:STOR:FIT:REP "fit-report.csv"')
print(sonarix.query("SYST:ERR?"))
