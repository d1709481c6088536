; Benchmark workload: a loop on the video chip's ports, as the BIOS. It
; points the linear VRAM pointer at $1001 once, then writes bytes through
; the data port ($012E), reads through the read port ($0124) and with
; LDVDP, and sets register 7 (CM4) through the register port ($012D).
VDPRD   = 36
VDPREG  = 45
VDPWR   = 46

        ORG $F800
start:  MOV #$60,B
        LDSP
        MOVP #1,P(VDPREG)              ; COL = 0
        MOVP #0,P(VDPREG)
        MOVP #2,P(VDPREG)              ; ROW = $10
        MOVP #$10,P(VDPREG)
        MOVP #9,P(VDPREG)              ; BAMP = ROW/COL + 1 (the data byte is not used)
        MOVP #0,P(VDPREG)
        MOV #0,A
loop:   MOVP A,P(VDPWR)
        INC A
        MOVP A,P(VDPWR)
        MOVP P(VDPRD),B
        LDVDP A,P(VDPRD)
        MOVP #7,P(VDPREG)
        MOVP A,P(VDPREG)
        ADD B,A
        JMP loop

        ORG $FFFE
        DW start
