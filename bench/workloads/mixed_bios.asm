; Benchmark workload: the mixed loop as the BIOS itself (no interrupts, no
; I/O processor traffic once it runs).
        ORG $F800
start:  MOV #$60,B
        LDSP
        INCLUDE "mixed_loop.asm"

        ORG $FFFE
        DW start                        ; reset vector
