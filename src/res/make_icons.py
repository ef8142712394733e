#!/usr/bin/env python3
"""Writes idle.ico and busy.ico: 32x32, 16 colours. A small TV set; the busy
one has a lit screen with a red 'on air' dot."""
import struct, sys, os

PALETTE = [(0,0,0),(128,0,0),(0,128,0),(128,128,0),(0,0,128),(128,0,128),(0,128,128),(192,192,192),
           (128,128,128),(255,0,0),(0,255,0),(255,255,0),(0,0,255),(255,0,255),(0,255,255),(255,255,255)]
BLACK, DGREY, LGREY, WHITE, CYAN, RED, GREEN, DCYAN = 0, 8, 7, 15, 14, 9, 10, 6

def draw(busy):
    px = [[None]*32 for _ in range(32)]   # None = transparent
    def rect(x0,y0,x1,y1,c):
        for y in range(y0,y1+1):
            for x in range(x0,x1+1): px[y][x]=c
    # antenna
    for i in range(7):
        px[2+i][9+i]=DGREY; px[2+i][22-i]=DGREY
    rect(1,8,30,27,BLACK)          # cabinet outline
    rect(2,9,29,26,LGREY)
    rect(4,11,23,24,BLACK)         # screen bezel
    rect(5,12,22,23,CYAN if busy else DGREY)
    if busy:
        for y in range(14,22):     # picture bars
            for x in range(7,21):
                if (x//3)%2==0: px[y][x]=DCYAN
    rect(25,12,27,14,RED if busy else DGREY)   # power lamp
    rect(25,17,27,18,DGREY); rect(25,21,27,22,DGREY)
    rect(5,28,8,29,BLACK); rect(23,28,26,29,BLACK)   # feet
    return px

def ico(px):
    xor = b''; andm = b''
    for y in range(31,-1,-1):
        row = px[y]; bits = bytearray(16); mask = bytearray(4)
        for x in range(32):
            c = row[x]
            if c is None:
                mask[x//8] |= 0x80 >> (x%8); c = 0
            bits[x//2] |= (c << 4) if x%2==0 else c
        xor += bytes(bits); andm += bytes(mask)
    pal = b''.join(struct.pack('<BBBB',b,g,r,0) for (r,g,b) in PALETTE)
    bih = struct.pack('<IiiHHIIiiII',40,32,64,1,4,0,len(xor)+len(andm),0,0,16,0)
    img = bih+pal+xor+andm
    return struct.pack('<HHH',0,1,1)+struct.pack('<BBBBHHII',32,32,16,0,1,4,len(img),22)+img

here = os.path.dirname(os.path.abspath(__file__))
for name,busy in (('idle.ico',False),('busy.ico',True)):
    open(os.path.join(here,name),'wb').write(ico(draw(busy)))
