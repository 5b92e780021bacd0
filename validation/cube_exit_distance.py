#!/usr/bin/env python3
# Mean inverse distance <1/|X|> of the points where walks from around the
# 1 um cube of validation/decks/cube.kd first land outside its 400 um window,
# with the same cube jumps and panel-centre landings as Korva.
# Run from the repository root after building (needs incdata/).
import struct, random, bisect, math
P = struct.unpack('<5766d', open('incdata/IS/binary/single/GFT_single_31.db','rb').read(5766*8))
cum = []; acc = 0.0
for p in P: acc += p; cum.append(acc)
S = 31
def face_point(cx,cy,cz,r,f,u,v):
    L = 2*r
    if f==0: return (cx-r+u*L, cy-r+v*L, cz-r)
    if f==1: return (cx-r+u*L, cy-r, cz-r+v*L)
    if f==2: return (cx+r, cy-r+u*L, cz-r+v*L)
    if f==3: return (cx-r+u*L, cy+r, cz-r+v*L)
    if f==4: return (cx-r, cy-r+u*L, cz-r+v*L)
    return (cx-r+u*L, cy-r+v*L, cz+r)
def grid(c): return int(c*5000+0.5) if c>=0 else int(c*5000-0.5)
random.seed(1)
W = 200.0
inv = 0.0; n = 0; hits = 0
for w in range(40000):
    # start: uniform on a cube surface of half side 1.3 (like a Gaussian box)
    f = random.randrange(6); p = face_point(0,0,0,1.3,f,random.random(),random.random())
    while True:
        g = [grid(c) for c in p]
        if not all(-W*5000 <= gi <= W*5000 for gi in g):
            inv += 1.0/math.sqrt(p[0]**2+p[1]**2+p[2]**2); n += 1; break
        d = max(max(0, abs(gi) - 2500) for gi in g)
        if d == 0: hits += 1; break
        r = d/5000.0
        k = bisect.bisect_left(cum, random.random())
        if k >= 5766: k = 5765
        f, idx = divmod(k, 961)
        u = (idx % S + 0.5)/S; v = (idx//S + 0.5)/S
        p = face_point(p[0],p[1],p[2],r,f,u,v)
print("exits", n, "hits", hits, "mean 1/|X| =", inv/n, "-> 1/", n/inv)
