; Benchmark workload: a loop that reads and writes the I/O processor's
; mailbox ($0130), as the BIOS, with the I/O processor left in its first
; state. Every mailbox access writes an always-form trace line.
MAILBOX = 48

        ORG $F800
start:  MOV #$60,B
        LDSP
        MOV #0,A
loop:   MOVP P(MAILBOX),A
        INC A
        MOVP A,P(MAILBOX)
        MOV A,R16
        ADD R16,R17
        DJNZ R18,loop
        JMP loop

        ORG $FFFE
        DW start
