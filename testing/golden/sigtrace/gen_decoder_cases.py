#!/usr/bin/env python3
"""Independent model of the trace groups' text decoders, and the cases it
writes for test_decoders.cpp.

The model decodes SS7 (MTP2, MTP3, ISUP, SCCP), Q.921, Q.931 and the
maintenance messages from their written layout, without the C++ code. A
generator builds well-formed and slightly damaged units from a fixed seed;
every unit the model decodes completely (no octet read past its unit or its
element, every name in the model's tables) is written with the model's text
to decoder_model_cases.txt in sigtrace/tests/data (or in the folder given as
the only argument), which sigtrace/tests/test_decoders.cpp reads. The name
tables are read from sigtrace/tests/data/decoder_model_names.txt; after the
random units, directed units hit every row of every table (both ends of a
range row), and the script fails when a row is left unhit by the units it
writes.

Record format: "@@ <text length> <decoder> <variant> <pc length> <annex A>
<octets in hex>\n", then exactly <text length> bytes of text, then "\n".
Run it again after changing the model or the generator.
"""
import os
import random
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
DATA = os.path.join(ROOT, "sigtrace", "tests", "data")
# ---- name tables ----
HITS = set()  # (table, value) looked up by the unit being decoded
class Tab(dict):
    """A name table that records the rows the model reads."""
    def __init__(s, name): super().__init__(); s.name = name; s.targets = set()
    def hit(s, v):
        if dict.__contains__(s, v): HITS.add((s.name, v))
    def __getitem__(s, v): s.hit(v); return dict.__getitem__(s, v)
    def get(s, v, d=None): s.hit(v); return dict.get(s, v, d)
def load_tables():
    tabs = {}
    with open(os.path.join(DATA, "decoder_model_names.txt"), encoding="latin-1") as f:
        for line in f:
            line = line.rstrip("\n")
            if line.startswith("= "): t = tabs[line[2:]] = Tab(line[2:])
            elif line and not line.startswith("#"):
                key, text = line.split(" ", 1)
                a, _, b = key.partition("-")
                a, b = int(a, 0), int(b or a, 0)
                for v in range(a, b + 1): dict.__setitem__(t, v, text[1:-1])
                t.targets |= {a, b}  # a range row is covered by its two ends
    return tabs
TABS = load_tables()
globals().update(TABS)
# ---- model ----
# Trunc: the unit needs an octet it does not have (or a name the tables
# below leave out); such units are not written.
class Trunc(Exception): pass
def pic(v,m=0xFF):
    return "[0x%02X] %s"%(v,''.join(('1' if v>>b&1 else '0') if m>>b&1 else '-' for b in range(7,-1,-1)))
def raw(prefix,data,off):
    s=prefix
    for i,o in enumerate(data):
        if off and i%16==0: s+="%04X  "%i
        s+="%02X "%o
        if i%16==7: s+="  "
        if i%16==15: s+="\n"
    return s+"\n"
class M:
    def __init__(s,d,lim=None): s.d=d; s.lim=len(d) if lim is None else min(lim,len(d))
    def __getitem__(s,i):
        if i<0 or i>=s.lim: raise Trunc()
        return s.d[i]
    def __len__(s): return s.lim
    def sl(s,a,b):
        if b>s.lim: raise Trunc()
        return s.d[a:b]
def model_ss7(var,pcl,ax,d):
    m=M(d); o=""
    try:
        if not ax:
            bsn=m[0]&0x7F;bib=m[0]>>7;fsn=m[1]&0x7F;fib=m[1]>>7;li=m[2]&0x3F;sp=m[2]>>6;h=3
        else:
            bsn=(m[0]+256*m[1])&0x7FFF;bib=m[1]>>7;fsn=(m[2]+256*m[3])&0x7FFF;fib=m[3]>>7;li=m[4]+256*m[5];sp=0;h=6
        o+="BSN(%u/%3u) FSN(%u/%3u) li=(%u/%2u) "%(bib,bsn,fib,fsn,sp,li)
        if li==0: return o+"[FISU]\n\n"
        if li<=2:
            o+="[LSSU] "+LSSU[m[h]&7]
            if li==2: o+="Stat2 = %u"%m[h+1]
            return o+"\n\n"
        o+="[MSU]"
        if len(d)>h: return o+mtp3(var,pcl,d[h:])+"\n"
        return o+"Error detected\n\n"
    except Trunc: return None
def mtp3(var,pcl,d):
    m=M(d); sio=m[0]; s=" Sub=%u %s"%((sio>>4)&3,NI[sio>>6]); si=sio&15
    s+=SI.get(si,"")
    if pcl not in (1,2,3): s+="\nWARNING DPC length not set (value=%d), fix this please WARNING"%pcl
    if var in (1,2): f='itu24' if pcl==3 else 'itu14'
    elif var in (3,4): f='ansi14' if pcl==1 else 'ansi24'
    else:
        s+={5:"\n[TTC 16 bits]\n",6:"\n[NTT 16 bits]\n"}.get(var,"\n[Unknown protocol variant %u]"%var)
        return s+raw("Raw data:\n",d[1:],1)
    mn,nd,hs,tt={'itu24':(9,7,8,"ITU 24 bits"),'itu14':(6,4,5,"ITU 14 bits"),'ansi14':(7,5,6,"ANSI 14 bits"),'ansi24':(9,7,8,"ANSI 24 bits")}[f]
    if len(d)<mn: return s+"\nError: MTP3 frame (size=%u) too small for %s DPC\n"%(len(d),tt)
    s+=raw("\nMTP3 Header: ",d[1:1+nd],0)+"["+tt+"]"
    o=d
    if f=='itu24':
        dpc=o[1]+256*o[2]+65536*o[3];opc=o[4]+256*o[5]+65536*o[6]
        s+="\nDPC=%u (Zn-Net-Sp=%d-%d-%d)"%(dpc,o[3],o[2],o[1])+"\nOPC=%u (Zn-Net-Sp=%d-%d-%d)"%(opc,o[6],o[5],o[4])+"\nSLS=%u"%(o[7]&15)
    elif f in('itu14','ansi14'):
        dpc=(o[2]&0x3F)*256+o[1];opc=4*o[3]+(o[2]>>6)+(o[4]&15)*1024
        if f=='itu14':
            s+="".join("\n%s=%u (Zn-Net-Sp=%d-%d-%d)"%(n,pc,pc>>11,(pc>>3)&0xFF,pc&7) for n,pc in (("DPC",dpc),("OPC",opc)))+"\nSLS=%u"%(o[4]>>4)
        else:
            s+="".join("\n%s %u.%u.%u"%(n,pc>>11,(pc>>3)&0xFF,pc&7) for n,pc in (("DPC",dpc),("OPC",opc)))+"\nSLS=%u"%o[5]
    else:
        s+="\nDPC %u.%u.%u"%(o[3],o[2],o[1])+"\nOPC %u.%u.%u"%(o[6],o[5],o[4])+"\nSLS=%u"%o[7]
    up=d[hs:]
    if si==5: return s+isup(var,up)
    if si==3: return s+sccp(up)
    if si in (0,1,2,4):
        tb={0:SNM,1:MTN,2:MTN,4:TUP}[si]
        s+="\nMSG=0x%02X : %s\n"%(up[0],tb.get(up[0],"Unknown"))
    return s+raw("Raw data:\n",up,1)
class Inv(Exception):
    def __init__(s,i): s.i=i
def isup(var,d):
    m=M(d); n=len(d)
    def ck(i):
        if i>=n: raise Inv(i)
        return i
    s="\n[MSG] CIC=%05u (Raw=0x%02X%02X) 0x%02X "%((m[1]&0x3F)*256+m[0],m[1],m[0],m[2])
    t=m[2]; pend=""; opt=None
    try:
        if t==1:
            s+=ISUPMSG[1]+"\n"
            for i,l in ((3,"Nature of Connection indicators"),(4,"Forward Call indicator H..A"),(5,"Forward Call indicator P..I"),(6,"Calling party category")):
                s+=" %s %s\n"%(pic(m[i]),l)
            if var not in (3,4): s+=" %s Transmission Medium\n"%pic(m[7])
            else:
                li=ck(7+m[7]); s+="".join("0x%02X "%m[ck(li+k)] for k in range(1,m[li]+1))+"User service information\n"
            li=ck(8+m[8]); s+="".join("0x%02X "%m[ck(li+k)] for k in range(1,m[li]+1))+"Called party number\n"
            opt=9
        elif t==6:
            s+=ISUPMSG[6]+"\n"+" %s Backward Call indicator H..A\n"%pic(m[3])+" %s Backward Call indicator P..I\n"%pic(m[4]); opt=5
        elif t==9: s+=ISUPMSG[9]+"\n"; opt=3
        elif t==12:
            s+=ISUPMSG[12]+"\n"; li=ck(3+m[3]); f=m[ck(li+1)]
            for mk,l in ((0x0F,"Location"),(0x10,"spare"),(0x60,"Coding standard"),(0x80,"Extension bit")): s+=" %s %s\n"%(pic(f,mk),l)
            for k in range(2,m[li]+1):
                c=m[ck(li+k)]
                s+=" %s Cause=%u (%s)\n"%(pic(c),c&0x7F,ISUPCAUSE.get(c&0x7F,"Unknown"))
            opt=4
        elif t==23: pend=ISUPMSG[23]+"\n Range = %u\n"%m[5]
        else:
            pend=ISUPMSG[t]+"\n" if t in ISUPMSG else "Unknown message=%u\n"%t
        if opt is not None:
            if m[opt]==0: pend="No optional part\n"
            else:
                st=opt+m[opt]
                if st<n: s+=isupopt(d[st:])
                else: raise Inv(st)
        s+=pend
        if n>1: s+=raw("Raw data:\n",d[2:],1)
        return s
    except Inv as e:
        return s+"Invalid index inside message %u >= %u"%(e.i,n)
def isupopt(d):
    m=M(d); i=0; s=""
    while m[i]!=0:
        c=m[i]
        s+=" %s Option: %s\n"%(pic(c),ISUPPAR.get(c,"Unknown")); l=m[i+1]; s+=" %s Length: %u\n"%(pic(l),l)
        s+=raw("OptValue: ",m.sl(i+2,i+2+l),0); i+=2+l
        if i>=len(d): return s+"\n ERROR invalid option field offset\n"
    return s
def sccp(d):
    if len(d)<2: return "Invalid index inside message %u >= %u"%(1,len(d))
    t=d[0]
    s="\n[SCCP MSG TYPE] %s (Raw=0x%02X)\n"%(SCCP.get(t,"Unknown"),t)
    if t in (9,17,19): s+=" %s Protocol Class\n"%pic(d[1],0x0F)
    elif t in (10,18,20): s+=" %s Return Cause\n"%pic(d[1])
    elif t==0 or t>20: s+=" Unknown message=%u"%t
    return s+raw("Raw data:\n",d,1)
def flag(o,mk,a,b): return " %s %s\n"%(pic(o,mk),a if o&mk else b)
def callref(m):
    L=m[0]
    if L==0: return " Dummy Call reference\n",1
    v=m[1]&0x7F
    for k in range(2,L+1): v=(v*256+m[k])&0xFFFFFFFF
    return " Call reference -> %u\n"%v,L+1
def chanid(ie,prefix,off):
    s=""; L=ie[1]; o3=ie[2]
    s+=flag(o3,0x40,"Explicitly identified","Implicitly identified")+flag(o3,0x20,"Primary rate interface","Basic rate interface")
    s+=flag(o3,0x08,"Indicated channel is exclusive","Indicated channel is prefered")+flag(o3,0x04,"Channel identified is the D channel","Channel identified is not the D channel")
    s+=" %s Information channel selection: %s\n"%(pic(o3,3),CHSEL[o3&3])
    if L<=1: return s,False
    k=3
    if o3&0x40:
        s+=" %s Interface identifier:\n"%pic(ie[3],0x7F)
        if not ie[3]&0x80: return s,True
        k=4
    a=ie[k]
    s+=" %s Coding Standard: %s\n"%(pic(a,0x60),CS[(a>>5)&3])+flag(a,0x10,"Channel is indicated by the slot map","Channel is indicated by the number")
    s+=" %s Channel type/map element type: %s\n"%(pic(a,0x0F),CHTYPE.get(a&15,"Reserved: unknown"))
    c=ie[k+1]; s+=" %s Channel number: %u\n"%(pic(c,0x7F),c&0x7F)
    if k+2<2+L: s+=raw(prefix,ie.sl(k+2,2+L),off)
    return s,False
def mnt(d):
    m=M(d)
    try:
        s,ti=callref(m); t=m[ti]
        s+=" %s  "%pic(t)+MNTTYPE.get(t,"Unknown message type:0x%X"%t)+"\n"
        p=ti+1
        while p<len(d):
            b=m[p]
            if b not in (1,0x18): return s+"Cannot continue parsing of this message\n"
            L=m[p+1]; ie=M(d[p:p+2+L])
            s+=(" %s Change status ->\n" if b==1 else " %s Channel identification ->\n")%pic(b)+" %s IE Length = %u\n"%(pic(L),L)
            if b==1: s+=" %s Status: %s\n"%(pic(ie[2],0x0F),CHSTATUS.get(ie[2]&15,"Unknown"))
            else:
                t2,e=chanid(ie,"Raw data:\n",1); s+=t2
                if e: return s
            p+=1 if b&0x80 else 2+L
        return s
    except Trunc: return None
def model_q921(d):
    m=M(d)
    try:
        s="SAPI=%u, CR=%u, TEI=%u\n"%(m[0]>>2,(m[0]>>1)&1,m[1]>>1); c=m[2]
        if not c&1:
            dd=m[3]; s+="[I] PF= %u NR= %u NS= %u\n"%(dd&1,dd>>1,c>>1); pd=m[4]
            if pd==8:
                if len(d)>5:
                    r=q931(d[5:])
                    if r is None: return None
                    s+=r
            elif pd==3:
                s+="Q.931 AT&T Maintanence Message\n"
                if len(d)>5:
                    r=mnt(d[5:])
                    if r is None: return None
                    s+=r
            else:
                s+="Unknown Protocol Discriminator: 0x%X\n"%pd+raw("Raw data:\n",d[5:],1)
        elif c in (1,5,9):
            dd=m[3]; s+="[%s] PF= %u NR= %u\n"%(Q921S[c],dd&1,dd>>1)
        else:
            u=Q921U.get(c&0xEF)
            if u: s+="[%s] PF= %u\n"%(u,(c>>4)&1)
            else: s+=raw("Unknown command: raw data:\n",d,1)
        return s+"\n"
    except Trunc: return None
def csl(o): return " %s Coding Standard: %s\n"%(pic(o,0x60),CS[(o>>5)&3])
def locl(o): return " %s Location: %s\n"%(pic(o,0x0F),LOC.get(o&15,"Reserved"))
def dump(ie,a,prefix,off=0):
    end=2+ie[1]
    return raw(prefix,ie.sl(a,end),off) if a<end else ""
def moderate(ie,k):
    o=ie[k]; s=" %s Transfer mode: %s\n"%(pic(o,0x60),TMODE.get((o>>5)&3,"Unknown"))
    s+=" %s Information transfer rate: %s\n"%(pic(o,0x1F),RATE.get(o&0x1F,"Unknown")); k+=1
    if o&0x1F==24: s+=" %s Rate multiplier: %u\n"%(pic(ie[k],0x7F),ie[k]&0x7F); k+=1
    return s,k
def fields(b,ie):
    if b==0x00:
        o=ie[2]
        if o&0x80: return " %s First segment, %u segments remaining, next message: %s\n"%(pic(o),o&0x7F,MT.get(ie[3],"Unknown"))
        return " %s Subsequent segment, %u segments remaining\n"%(pic(o),o&0x7F)
    if b==0x04 or b==0x7C:
        o=ie[2]; s=csl(o)+" %s Information transfer capability: %s\n"%(pic(o,0x1F),CAP.get(o&0x1F,"Unknown")); k=3
        if b==0x7C and not o&0x80:
            s+=" %s Negociation indicator: %s\n"%(pic(ie[3],0x40),"Out-band negotiation possible" if ie[3]&0x40 else "Out-band negotiation not possible"); k=4
        t,k=moderate(ie,k); s+=t
        if b==0x04:
            if o&0x1F==0 and k<2+ie[1] and (ie[k]>>5)&3==1:
                s+=" %s User information layer 1: %s\n"%(pic(ie[k],0x1F),L1.get(ie[k]&0x1F,"Reserved")); k+=1
            return s+dump(ie,k,"Extra bytes: ")
        return s+dump(ie,k," Extra bytes: ")
    if b==0x08:
        o=ie[2]; c=ie[3]
        s=csl(o)+locl(o)+" %s Cause value=%u %s\n"%(pic(c,0x7F),c&0x7F,CAUSEQ.get(c&0x7F,"Illegal value"))
        if ie[1]>=3: s+=dump(ie,4,"Extra bytes: ")
        return s
    if b==0x10: return dump(ie,2,"Raw data: ",1)
    if b==0x14:
        o=ie[2]
        return " %s Coding Standard: %s\n"%(pic(o,0xC0),CS[o>>6])+" %s Call state value: %s\n"%(pic(o,0x3F),CST.get(o&0x3F,"Reserved"))
    if b==0x1E:
        o=ie[2]; p=ie[3]
        return csl(o)+locl(o)+" %s Progress description: %s\n"%(pic(p,0x7F),PRG.get(p&0x7F,"Reserved"))
    if b==0x20:
        n=ie[2]; s=" %s Length of network identification: %u\n"%(pic(n),n)
        if n:
            o=ie[3]; s+=" %s Type of network identification: %s\n"%(pic(o,0x70),NIT.get((o>>4)&7,"Reserved"))+" %s Network identification plan: %s\n"%(pic(o,0x0F),NIP.get(o&15,"Reserved"))
            if ie[1]>2: s+=raw("Network identification: ",ie.sl(4,4+n),0)
        return s+dump(ie,3+n,"Network specific facilities: ")
    if b==0x27: return " %s Notification description: %s\n"%(pic(ie[2],0x7F),NOTIF.get(ie[2]&0x7F,"Reserved"))
    if b in (0x28,0x2C): return dump(ie,2,"Extra bytes: ")
    if b==0x29:
        L=ie[1]; s=" %u/%u/%u"%(ie[2],ie[3],ie[4])
        if L>=4: s+=", %u:"%ie[5]
        if L>=5: s+="%u:"%ie[6]
        if L>=6: s+="%u"%ie[7]
        return s+"\n"
    if b==0x34:
        v=ie[2]
        return " %s Signal value: %s\n"%(pic(v),SIG.get(v,"Reserved"))
    if b in (0x6C,0x70,0x74):
        o=ie[2]; s=" %s Type of number: %s\n"%(pic(o,0x70),TON.get((o>>4)&7,"Reserved"))+" %s Numbering plan identification: %s\n"%(pic(o,0x0F),NPI.get(o&15,"Reserved")); k=3
        if not o&0x80:
            a=ie[3]; k=4
            if b==0x6C and not a&0x80: s+="ERROR -> Detected invalid extension bit in octet 3a (should be 1)\n"
            s+=" %s Presentation indicator: %s\n"%(pic(a,0x60),PRES[(a>>5)&3])+" %s Screening indicator: %s\n"%(pic(a,3),SCR[a&3])
            if b==0x74 and not a&0x80:
                c=ie[4]; k=5
                if not c&0x80: s+="ERROR -> Detected invalid extension bit in octet 3b (should be 1)\n"
                s+=" %s Reason for redirection: %s\n"%(pic(c,0x0F),RED.get(c&15,"Reserved"))
        s+="            Number: "
        for i in range(k,2+ie[1]):
            c=ie[i]; s+=chr(c) if (0x30<=c<=0x39 or c==0x23) else " [0x%02X] "%c
        return s+"\n"
    if b in (0x6D,0x71):
        o=ie[2]; t=(o>>4)&7; s=" %s Type of subaddress: %s\n"%(pic(o,0x70),SUBADDR.get(t,"Reserved"))
        if t==2: s+=" %s Odd/even indicator: %s\n"%(pic(o,0x80),"Odd number of address signals" if o&0x80 else "Even number of address signals")
        if ie[1]>=2: s+=dump(ie,3," Subaddress information: ")
        return s
    if b==0x78:
        o=ie[2]; s=" %s Type of network identification: %s\n"%(pic(o,0x70),NIT.get((o>>4)&7,"Reserved"))+" %s Network identification plan: %s\n"%(pic(o,0x0F),NIP.get(o&15,"Reserved"))
        if ie[1]>=2: s+=dump(ie,3," Network identification: ")
        return s
    if b==0x79: return " %s Class: %s\n"%(pic(ie[2],7),RESTART.get(ie[2]&7,"Reserved"))
    if b==0x7D:
        o=ie[2]; i=o&0x1C; pm=o&3; c=ie[3]&0x7F
        s=csl(o)+" %s Interpretation: %s=%u\n"%(pic(o,0x1C),"Use first high layer characteristics" if i==16 else "Reserved",i)
        s+=" %s Presentation method of protocol profile: %s=%u\n"%(pic(o,3),"High layer" if pm==1 else "Reserved",pm)
        s+=" %s High layer Characteristics identification: %s=%u\n"%(pic(ie[3],0x7F),HLC.get(c,"Reserved"),c)
        if 94<=c<=98 or c==104: s+=" %s Octet 4a\n"%pic(ie[4])
        return s
    if b==0x7E:
        v=ie[2]; s=" %s Protocol discriminator: %s=%u\n"%(pic(v),UU.get(v,"Reserved"),v)
        if ie[1]>=2: s+=dump(ie,3," User information: ")
        return s
    if b==0x7F: return ""
def q931(d):
    m=M(d)
    try:
        s,ti=callref(m); t=m[ti]; s+=" %s  %s\n"%(pic(t),MT.get(t,"Unknown")); p=ti+1
    except Trunc: return None
    locked=active=0; one=False
    while p<len(d):
        if not one: active=locked
        b=d[p]
        if b&0xF0==0x90:
            cs=b&7
            locked=active if b&8 else cs
            s+=" %s %s -> %s\n"%(pic(b),"Non-locking Shift to codeset" if b&8 else "Locking Shift to codeset",CODESET[cs])
            active=cs; one=True; p+=1; continue
        try:
            if b&0xF0==0x80: s+=" %s Reserved:\n"%pic(b); nxt=None
            elif active!=0:
                L=m[p+1]; ie=M(d[p:p+2+L]); s+=" %s IE from codeset %u ->\n"%(pic(b),active)+" %s IE Length = %u\n"%(pic(L),L)
                if L!=0: s+=dump(ie,2,"Raw data: ")  # ending exactly at the end is dumped too
                nxt=p+2+L
            elif b==0xA0: s+=" %s More data\n"%pic(b); nxt=None
            elif b==0xA1: s+=" %s Sending complete\n"%pic(b); nxt=None
            elif b&0xF0==0xB0: s+=" %s Congestion level -> %s\n"%(pic(b),CONGESTION.get(b&15,"Unknown")); nxt=None
            elif b&0xF0==0xD0: s+=" %s Repeat indicator -> %s\n"%(pic(b,4),"Prioritized list for selecting one possibility" if b&7==2 else "Reserved"); nxt=None
            elif b in HEAD:
                L=m[p+1]; ie=M(d[p:p+2+L]); s+=" %s %s ->\n"%(pic(b),HEAD[b])+" %s IE Length = %u\n"%(pic(L),L)
                nxt=p+2 if b==0x7F else p+2+L
                if b==0x18:
                    t2,e=chanid(ie,"Extra bytes: ",0); s+=t2
                    if e: return s
                else: s+=fields(b,ie)
            else:
                L=m[p+1]; ie=M(d[p:p+2+L]); s+=" %s UNKNOWN IE ->\n"%pic(b)+" %s IE Length = %u\n"%(pic(L),L)
                if L>=1: s+=dump(ie,2," Extra bytes: ")
                nxt=p+2+L
        except Trunc: return None
        one=False
        p=p+1 if b&0x80 else nxt
    return s


# ---- generator ----
R = None
def rb(n): return bytes(R.randrange(256) for _ in range(n))
def ie_content(b):
    L=R.choice([0,1,2,3,3,4,4,5,5,6,7,8])
    c=bytearray(rb(L))
    for i in range(len(c)):
        if R.random()<0.3: c[i]&=0x7F
        if b in (0x08,0x1E,0x14,0x34) and i<=1: c[i]=R.choice([0x80,0x90,0x9F,0xFF,0x81,0x88,0x8A,0x0A,0x4F,0x47,0x3F,0x00])
        if b in (0x6C,0x70,0x74) and i>=1 and R.random()<0.7: c[i]=R.choice(b"0123456789#*")
    return bytes([b,L])+bytes(c)
IDS=list(HEAD)+[0x0A,0x3C,0x40]
def q931msg():
    L=R.choice([0,0,1,2]); cr=bytes([L])+rb(L); t=bytes([R.choice(list(MT)+[0x99])])
    body=b""
    for _ in range(R.randrange(0,7)):
        x=R.random()
        if x<0.15: body+=bytes([0x90|R.randrange(16)])
        elif x<0.3: body+=bytes([R.choice([0xA0,0xA1,0xB0,0xBF,0xB3,0xD2,0xD5,0x85])])
        else: body+=ie_content(R.choice(IDS))
    return cr+t+body
def mntmsg():
    L=R.choice([0,1,2]); cr=bytes([L])+rb(L); t=bytes([R.choice([0x0F,0x07,0x33])])
    body=b""
    for _ in range(R.randrange(0,4)):
        b=R.choice([0x01,0x18,0x18,0x04])
        if b==0x18:
            n=R.choice([1,2,3,4,5]); body+=bytes([b,n])+bytes(R.randrange(256) if R.random()<0.5 else R.randrange(128)+128 for _ in range(n))
        else: body+=bytes([b,1,R.randrange(16)])
    return cr+t+body
def q921():
    a=bytes([R.randrange(256)&0xFE,R.randrange(256)|1])
    x=R.random()
    if x<0.6: return a+bytes([R.randrange(128)*2,R.randrange(256)])+bytes([8])+q931msg()
    if x<0.7: return a+bytes([R.randrange(128)*2,R.randrange(256)])+bytes([3])+mntmsg()
    if x<0.75: return a+bytes([R.randrange(128)*2,R.randrange(256),R.randrange(256)])+rb(R.randrange(4))
    if x<0.85: return a+bytes([R.choice([1,5,9]),R.randrange(256)])
    return a+bytes([R.choice([0x6F,0x7F,0x0F,0x1F,0x03,0x13,0x43,0x53,0x63,0x73,0x87,0x97,0xAF,0xBF,0x11,0xFF,0x05|0x10])])+rb(R.randrange(3))
def isupmsg(var):
    cic=rb(2); t=R.choice([1,1,6,6,9,9,12,12,16,23,44,237,233,10,238,255,57])
    if t==1:
        fixed=rb(5)
        usi=bytes([R.choice([1,2])])+rb(2) if var in (3,4) else b""
        cpn=bytes([3])+rb(3)
        opt=b""
        if R.random()<0.7:
            for _ in range(R.randrange(3)):
                l=R.randrange(4); opt+=bytes([R.choice(list(ISUPPAR)),l])+rb(l)
            opt+=b"\0"
        # pointers at 7 (ANSI), 8, 9
        base=bytearray(cic+bytes([t])+fixed[:4])
        if var in (3,4):
            tail=usi+cpn+opt
            p7=3; p8=2+len(usi); p9=1+len(usi)+len(cpn) if opt else 0
            base+=bytes([p7,p8,p9])
        else:
            tail=cpn+opt
            p8=2; p9=1+len(cpn) if opt else 0
            base+=bytes([fixed[4],p8,p9])
        return bytes(base)+tail
    if t in (6,9,12):
        head=cic+bytes([t])
        if t==6: head+=rb(2)
        if t==12:
            cl=R.randrange(1,4); cause=bytes([cl,R.randrange(256)])+bytes(R.choice([0x90,0x9F,0xFF,0x91,0x80]) for _ in range(cl-1))
            opt=b""
            if R.random()<0.5:
                l=R.randrange(3); opt=bytes([R.choice(list(ISUPPAR)),l])+rb(l)+(b"\0" if R.random()<0.7 else b"")
            return head+bytes([2,1+len(cause) if opt else 0])+cause+opt
        opt=b""
        if R.random()<0.6:
            l=R.randrange(3); opt=bytes([R.choice(list(ISUPPAR)),l])+rb(l)+(b"\0" if R.random()<0.7 else b"")
            return head+bytes([1])+opt
        return head+bytes([0 if R.random()<0.8 else R.randrange(1,6)])
    return cic+bytes([t])+rb(R.randrange(0,5))
def ss7():
    var=R.choice([1,2,3,4,5,6,9]); pcl=R.choice([0,1,2,2,3,3,4]); ax=R.choice([0,0,1])
    li=R.choice([0,1,2,63,63,63])
    if ax: h=bytes([R.randrange(256),R.randrange(256),R.randrange(256),R.randrange(256),li if li<63 else 200,R.choice([0,0,1])])
    else: h=bytes([R.randrange(256),R.randrange(256),li|(R.randrange(4)<<6)])
    if li in (1,2): return var,pcl,ax,h+rb(2)
    if li==0: return var,pcl,ax,h
    si=R.choice([5,5,5,3,3,0,1,2,4,6,9])
    sio=bytes([si|(R.randrange(16)<<4)])
    lab=rb((7 if pcl==3 else 4) if var in (1,2) else (5 if pcl==1 else 7) if var in (3,4) else R.choice([4,5,7]))
    if si==5: up=isupmsg(var)
    elif si==3: up=bytes([R.choice([9,10,17,18,19,20,1,16,0,22])])+rb(R.randrange(0,4))
    elif si==0: up=bytes([R.choice(list(SNM))])+rb(2)
    elif si in (1,2): up=bytes([R.choice([0x11,0x21,0x33])])+rb(2)
    elif si==4: up=bytes([R.choice(list(TUP))])+rb(1)
    else: up=rb(3)
    return var,pcl,ax,h+sio+lab+up


# ---- directed units: every row of every name table ----
def chunks(vs, n): vs = sorted(vs); return [vs[i:i + n] for i in range(0, len(vs), n)]
def msu(sio, up): return (1, 2, 0, bytes([0x85, 0x83, 63, sio, 0x23, 0x41, 0x12, 0x50]) + up)  # ITU 14-bit label
def q931u(ies): return bytes.fromhex("00 01 00 00 08 01 05 7B") + b"".join(ies)
ISUP_FIXED = {1: "00 60 01 0A 00 02 00 03 81 10 21", 6: "16 14 00", 9: "00", 12: "02 00 02 80 90", 23: "01 01 1F"}
def isupu(t): return bytes.fromhex("01 00 %02X " % t + ISUP_FIXED.get(t, "00"))
def uu(v): return bytes([0x7E, 2, v, 0xAA])
def rate(v): return bytes([0x04, 3, 0x88, 0x98, 0x81]) if v == 24 else bytes([0x04, 2, 0x88, 0x80 | v])
def hlc(v): return bytes([0x7D, 3, 0x91, 0x80 | v, 0x81]) if 94 <= v <= 98 or v == 104 else bytes([0x7D, 2, 0x91, 0x80 | v])
# table: (decoder, how many values a unit carries, unit builder over those values)
SS7_ONE = {
    "LSSU": lambda v: (1, 2, 0, bytes([0x81, 0x82, 1, v])),
    "NI": lambda v: msu(v << 6 | 1, bytes([0x11, 0x20])),
    "SI": lambda v: msu(v, {5: isupu(9), 3: bytes([9, 1, 0xAA])}.get(v, bytes([0x11, 0xAA]))),
    "SNM": lambda v: msu(0, bytes([v, 0xAA])),
    "MTN": lambda v: msu(1, bytes([v, 0x20])),
    "TUP": lambda v: msu(4, bytes([v, 0xAA])),
    "SCCP": lambda v: msu(3, bytes([v, 1, 0xAA])),
    "ISUPMSG": lambda v: msu(5, isupu(v)),
}
DIRECTED = {
    "ISUPCAUSE": ("ss7", 8, lambda vs: msu(5, bytes.fromhex("01 00 0C 02 00") + bytes([1 + len(vs), 0x80]) + bytes(vs))),
    "ISUPPAR": ("ss7", 8, lambda vs: msu(5, bytes.fromhex("01 00 09 01") + b"".join(bytes([v, 1, 0xAB]) for v in vs) + b"\0")),
    "Q921S": ("q921", 1, lambda vs: bytes([0, 1, vs[0], 2])),
    "Q921U": ("q921", 1, lambda vs: bytes([0, 1, vs[0]])),
    "MNTTYPE": ("mnt", 1, lambda vs: bytes([0, vs[0]])),
    "CHSTATUS": ("mnt", 1, lambda vs: bytes([0, 0x0F, 1, 1, vs[0]])),
    "CHSEL": ("q921", 4, lambda vs: q931u(bytes([0x18, 3, 0xA0 | v, 0x80 | v << 5 | (3, 6, 8, 9)[v], 0x81]) for v in vs)),
    "CS": ("q921", 4, lambda vs: q931u(bytes([0x08, 2, 0x80 | v << 5, 0x90]) for v in vs)),
    "CHTYPE": ("q921", 4, lambda vs: q931u(bytes([0x18, 3, 0xA1, 0x80 | v, 0x81]) for v in vs)),
    "MT": ("q921", 8, lambda vs: q931u(bytes([0x00, 2, 0x81, v]) for v in vs)),
    "CODESET": ("q921", 8, lambda vs: q931u(bytes([0x90 | v]) for v in vs)),
    "CONGESTION": ("q921", 2, lambda vs: q931u(bytes([0xB0 | v]) for v in vs)),
    "CST": ("q921", 8, lambda vs: q931u(bytes([0x14, 1, v]) for v in vs)),
    "PRG": ("q921", 8, lambda vs: q931u(bytes([0x1E, 2, 0x80, 0x80 | v]) for v in vs)),
    "SIG": ("q921", 8, lambda vs: q931u(bytes([0x34, 1, v]) for v in vs)),
    "CAUSEQ": ("q921", 8, lambda vs: q931u(bytes([0x08, 2, 0x80, 0x80 | v]) for v in vs)),
    "LOC": ("q921", 8, lambda vs: q931u(bytes([0x08, 2, 0x80 | v, 0x90]) for v in vs)),
    "NOTIF": ("q921", 4, lambda vs: q931u(bytes([0x27, 1, 0x80 | v]) for v in vs)),
    "SUBADDR": ("q921", 4, lambda vs: q931u(bytes([0x6D, 2, 0x80 | v << 4, 0xAA]) for v in vs)),
    "RESTART": ("q921", 4, lambda vs: q931u(bytes([0x79, 1, 0x80 | v]) for v in vs)),
    "UU": ("q921", 8, lambda vs: q931u(uu(v) for v in vs)),
    "CAP": ("q921", 8, lambda vs: q931u(bytes([0x04, 2, 0x80 | v, 0x90]) for v in vs)),
    "TMODE": ("q921", 4, lambda vs: q931u(bytes([0x04, 2, 0x88, 0x90 | v << 5]) for v in vs)),
    "RATE": ("q921", 8, lambda vs: q931u(rate(v) for v in vs)),
    "L1": ("q921", 8, lambda vs: q931u(bytes([0x04, 3, 0x80, 0x90, 0xA0 | v]) for v in vs)),
    "NIT": ("q921", 4, lambda vs: q931u(bytes([0x78, 1, 0x80 | v << 4 | 1]) for v in vs)),
    "NIP": ("q921", 4, lambda vs: q931u(bytes([0x78, 1, 0x80 | v]) for v in vs)),
    "TON": ("q921", 8, lambda vs: q931u(bytes([0x70, 2, 0x81 | v << 4, 0x31]) for v in vs)),
    "NPI": ("q921", 8, lambda vs: q931u(bytes([0x70, 2, 0x90 | v, 0x32]) for v in vs)),
    "PRES": ("q921", 4, lambda vs: q931u(bytes([0x6C, 3, 0x21, 0x80 | v << 5, 0x33]) for v in vs)),
    "SCR": ("q921", 4, lambda vs: q931u(bytes([0x6C, 3, 0x21, 0x80 | v, 0x34]) for v in vs)),
    "RED": ("q921", 8, lambda vs: q931u(bytes([0x74, 4, 0x21, 0x00, 0x80 | v, 0x35]) for v in vs)),
    "HLC": ("q921", 8, lambda vs: q931u(hlc(v) for v in vs)),
    "HEAD": ("q921", 1, lambda vs: q931u([{0x10: bytes([0x10, 2, 1, 2]), 0x20: bytes([0x20, 3, 0, 0xAA, 0xBB]), 0x28: bytes([0x28, 2, 0x41, 0x42]),
                                           0x29: bytes([0x29, 6, 26, 3, 4, 5, 6, 7]), 0x2C: bytes([0x2C, 1, 0x31]), 0x71: bytes([0x71, 2, 0xA0, 0xAA]),
                                           0x7C: bytes([0x7C, 3, 0x08, 0xC0, 0x90]), 0x7F: bytes([0x7F, 0]) + uu(4)}.get(vs[0], bytes([0x14, 1, 0]))])),
}
for k, f in SS7_ONE.items(): DIRECTED[k] = ("ss7", 1, (lambda f: lambda vs: f(vs[0]))(f))
MODEL = {"ss7": lambda v, p, a, d: model_ss7(v, p, a, d), "q921": lambda v, p, a, d: model_q921(d), "mnt": lambda v, p, a, d: mnt(d)}


def main():
    global R
    R = random.Random(4110)
    want = {"ss7": 110, "q921": 110, "mnt": 30}
    got = {k: 0 for k in want}
    out = bytearray()
    covered = set()
    def write(name, v, p, a, d, exp):
        text = exp.encode("latin-1")
        out.extend(b"@@ %d %s %d %d %d %s\n" % (len(text), name.encode(), v, p, a, " ".join("%02X" % x for x in d).encode()))
        out.extend(text + b"\n")
        covered.update(HITS)
    while any(got[k] < want[k] for k in want):
        k = R.random()
        HITS.clear()
        if k < 0.45:
            v, p, a, d = ss7()
            exp, name = model_ss7(v, p, a, d), "ss7"
        elif k < 0.9:
            d = q921()
            v = p = a = 0
            exp, name = model_q921(d), "q921"
        else:
            d = mntmsg()
            v = p = a = 0
            exp, name = mnt(d), "mnt"
        if exp is None or got[name] >= want[name]:
            continue
        got[name] += 1
        write(name, v, p, a, d, exp)
    for tab, (name, n, build) in DIRECTED.items():
        for vs in chunks(TABS[tab].targets - {v for t, v in covered if t == tab}, n):
            v, p, a, d = build(vs) if name == "ss7" else (0, 0, 0, build(vs))
            HITS.clear()
            exp = MODEL[name](v, p, a, d)
            assert exp is not None, (tab, vs, d.hex())
            write(name, v, p, a, d, exp)
    missing = sorted((t, v) for t, tab in TABS.items() for v in tab.targets if (t, v) not in covered)
    if missing:
        raise SystemExit("rows no unit reaches: %s" % missing)
    folder = sys.argv[1] if len(sys.argv) > 1 else DATA
    with open(os.path.join(folder, "decoder_model_cases.txt"), "wb") as f:
        f.write(bytes(out))
    print("%d units" % out.count(b"@@ "))


if __name__ == "__main__":
    main()
