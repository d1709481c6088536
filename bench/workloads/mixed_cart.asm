; Benchmark workload: the mixed loop as a cartridge under the open BIOS,
; which keeps timer 1 running (an interrupt every 20 ms of emulated time)
; and serves the I/O processor.
        ORG $6000
start:  INCLUDE "mixed_loop.asm"

        ORG $7FF0
        TEXT "OVIXCART"
        DW start
