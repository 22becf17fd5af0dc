#!/usr/bin/env python3
"""Independent model of the trace groups' text decoders, and the cases it
writes for test_decoders.cpp.

The model decodes SS7 (MTP2, MTP3, ISUP, SCCP), Q.921, Q.931 and the
maintenance messages from their written layout, without the C++ code. A
generator builds well-formed and slightly damaged units from a fixed seed;
every unit the model decodes completely (no octet read past its unit or its
element, every name in the model's tables) is written with the model's text
to decoder_model_cases.txt beside this script. The name tables here hold
only some rows: units that need another row are skipped (the golden rows
cover the full tables).

Record format: "@@ <text length> <decoder> <variant> <pc length> <annex A>
<octets in hex>\n", then exactly <text length> bytes of text, then "\n".
Run it again after changing the model or the generator.
"""
import os
import random

HERE = os.path.dirname(os.path.abspath(__file__))
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
LSSU={0:"SIO: Out of alignment  ",1:"SIN: Normal alignment  ",2:"SIE: Emergency         ",3:"SIOS: Out of service   ",4:"SIPO: Processor outage ",5:"SIB: Busy              ",6:"Unknown (val=6)        ",7:"Unknown (val=7)        "}
NI={0:"INTERNAT",1:"SPARE",2:"NATIONAL",3:"NAT. RESERVED"}
SI={0:" Signaling Network Management Message (SNM) ",1:" Maintenance Regular Message (MTN/SNT) ",2:" Maintenance Special Message (MTNS) ",3:" Signaling Connection Control Part (SCCP) ",4:" Telephone User Part (TUP) ",5:" ISDN User Part (ISUP) ",6:" Data User Part (call and circuit-related messages) ",7:" Data User Part (facility reg/cancel messages) "}
MTN={0x11:"SLTM: Signalling Link Test Message",0x21:"SLTA: Signalling Link Test Acknowledgment"}
SNM={0x11:"COO: Changeover-order signal",0x54:"TFA: Transfer-allowed signal",0x1A:"UPU: User part unavailable signal",0x86:"LRI: Link remote inhibit test signal"}
TUP={0x11:"IAM: Initial address message",0xA1:"ACC: Automatic congestion control information message",0x5F:"EUM: Extended unsuccessful backward set-up information message"}
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
        if up[0] not in tb and si in (0,4): raise Trunc()  # partial tables here: skip names not modelled
        s+="\nMSG=0x%02X : %s\n"%(up[0],tb.get(up[0],"Unknown"))
    return s+raw("Raw data:\n",up,1)
ISUPN={1:"Initial Address (IAM)",6:"Address Complete (ACM)",9:"Answer (ANM)",12:"Release (REL)",16:"Release Complete (RLC)",44:"Call Progress (CPG)",237:"Exit (EXM)",233:"Circuit Reservation Acknowledgment (CRA)"}
CAUSE={16:"Normal call clearing",31:"Normal unspecified",127:"Interworking unspecified",17:"User busy"}
PAR={1:"Call Reference",10:"Calling Party Number",239:"Network Transport",192:"Generic Address"}
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
            s+="Initial Address (IAM)\n"
            for i,l in ((3,"Nature of Connection indicators"),(4,"Forward Call indicator H..A"),(5,"Forward Call indicator P..I"),(6,"Calling party category")):
                s+=" %s %s\n"%(pic(m[i]),l)
            if var not in (3,4): s+=" %s Transmission Medium\n"%pic(m[7])
            else:
                li=ck(7+m[7]); s+="".join("0x%02X "%m[ck(li+k)] for k in range(1,m[li]+1))+"User service information\n"
            li=ck(8+m[8]); s+="".join("0x%02X "%m[ck(li+k)] for k in range(1,m[li]+1))+"Called party number\n"
            opt=9
        elif t==6:
            s+="Address Complete (ACM)\n"+" %s Backward Call indicator H..A\n"%pic(m[3])+" %s Backward Call indicator P..I\n"%pic(m[4]); opt=5
        elif t==9: s+="Answer (ANM)\n"; opt=3
        elif t==12:
            s+="Release (REL)\n"; li=ck(3+m[3]); f=m[ck(li+1)]
            for mk,l in ((0x0F,"Location"),(0x10,"spare"),(0x60,"Coding standard"),(0x80,"Extension bit")): s+=" %s %s\n"%(pic(f,mk),l)
            for k in range(2,m[li]+1):
                c=m[ck(li+k)]
                if (c&0x7F) not in CAUSE and (c&0x7F) not in (0,): raise Trunc()
                s+=" %s Cause=%u (%s)\n"%(pic(c),c&0x7F,CAUSE.get(c&0x7F,"Unknown"))
            opt=4
        elif t==23: pend="Circuit Group Reset (GRS)\n Range = %u\n"%m[5]
        else:
            if t in ISUPN: pend=ISUPN[t]+"\n"
            elif t>237 or t in (10,11,15) or 57<=t<=232: pend="Unknown message=%u\n"%t
            else: raise Trunc()
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
        if c not in PAR: raise Trunc()
        s+=" %s Option: %s\n"%(pic(c),PAR[c]); l=m[i+1]; s+=" %s Length: %u\n"%(pic(l),l)
        s+=raw("OptValue: ",m.sl(i+2,i+2+l),0); i+=2+l
        if i>=len(d): return s+"\n ERROR invalid option field offset\n"
    return s
SCCP={1:"CR: Connection Request (class 2 & 3)",9:"UDT: Unitdata",10:"UDTS: Unitdata Service",17:"XUDT: Extended Unitdata",19:"LUDT: Long Unitdata",20:"LUDTS: Long Unitdata Service",16:"IT: Inactivity Test (class 2 & 3)"}
def sccp(d):
    if len(d)<2: return "Invalid index inside message %u >= %u"%(1,len(d))
    t=d[0]
    if not (t in SCCP or t==0 or t>20): raise Trunc()
    s="\n[SCCP MSG TYPE] %s (Raw=0x%02X)\n"%(SCCP.get(t,"Unknown"),t)
    if t in (9,17,19): s+=" %s Protocol Class\n"%pic(d[1],0x0F)
    elif t in (10,18,20): s+=" %s Return Cause\n"%pic(d[1])
    elif t==0 or t>20: s+=" Unknown message=%u"%t
    return s+raw("Raw data:\n",d,1)
CS={0:"ITU-T",1:"ISO/IEC",2:"National",3:"Network side standard"}
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
    s+=" %s Information channel selection: %s\n"%(pic(o3,3),{0:"No channel",1:"B1 channel",2:"Reserved",3:"Any channel"}[o3&3])
    if L<=1: return s,False
    k=3
    if o3&0x40:
        s+=" %s Interface identifier:\n"%pic(ie[3],0x7F)
        if not ie[3]&0x80: return s,True
        k=4
    a=ie[k]
    s+=" %s Coding Standard: %s\n"%(pic(a,0x60),CS[(a>>5)&3])+flag(a,0x10,"Channel is indicated by the slot map","Channel is indicated by the number")
    s+=" %s Channel type/map element type: %s\n"%(pic(a,0x0F),{3:"B channel units",6:"H0 channel units",8:"H11 channel units",9:"H12 channel units"}.get(a&15,"Reserved: unknown"))
    c=ie[k+1]; s+=" %s Channel number: %u\n"%(pic(c,0x7F),c&0x7F)
    if k+2<2+L: s+=raw(prefix,ie.sl(k+2,2+L),off)
    return s,False
def mnt(d):
    m=M(d)
    try:
        s,ti=callref(m); t=m[ti]
        s+=" %s  "%pic(t)+{0x0F:"SERVICE",0x07:"SERVICE_ACK"}.get(t,"Unknown message type:0x%X"%t)+"\n"
        p=ti+1
        while p<len(d):
            b=m[p]
            if b not in (1,0x18): return s+"Cannot continue parsing of this message\n"
            L=m[p+1]; ie=M(d[p:p+2+L])
            s+=(" %s Change status ->\n" if b==1 else " %s Channel identification ->\n")%pic(b)+" %s IE Length = %u\n"%(pic(L),L)
            if b==1: s+=" %s Status: %s\n"%(pic(ie[2],0x0F),{0:"In service",1:"Maintenance",2:"Out-of-service"}.get(ie[2]&15,"Unknown"))
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
            dd=m[3]; s+="[%s] PF= %u NR= %u\n"%({1:"RR",5:"RNR",9:"REJ"}[c],dd&1,dd>>1)
        else:
            u={0x6F:"SABME",0x0F:"DM",0x03:"UI",0x43:"DISC",0x63:"UA",0x87:"FRMR",0xAF:"XID"}.get(c&0xEF)
            if u: s+="[%s] PF= %u\n"%(u,(c>>4)&1)
            else: s+=raw("Unknown command: raw data:\n",d,1)
        return s+"\n"
    except Trunc: return None
MT={0x01:"ALERTING",0x02:"CALL_PROCEEDING",0x07:"CONNECT",0x0F:"CONNECT_ACKNOWLEDGE",0x03:"PROGRESS",0x05:"SETUP",0x0D:"SETUP_ACKNOWLEDGE",0x26:"RESUME",0x2E:"RESUME_ACKNOWLEDGE",0x22:"RESUME_REJECT",0x25:"SUSPEND",0x6E:"NOTIFY",0x75:"STATUS_ENQUIRY",0x2D:"SUSPEND_ACKNOWLEDGE",0x21:"SUSPEND_REJECT",0x20:"USER_INFORMATION",0x45:"DISCONNECT",0x4D:"RELEASE",0x5A:"RELEASE_COMPLETE",0x46:"RESTART",0x4E:"RESTART_ACKNOWLEDGE",0x60:"SEGMENT",0x79:"CONGESTION_CONTROL",0x7B:"INFORMATION",0x7D:"STATUS"}
CSN={0:"Q.931 IE",4:"IE for ISO/IEC",5:"IE for National use",6:"IE specific to the local network",7:"User specific IE",1:"Reserved",2:"Reserved",3:"Reserved"}
LOC={0:"User",1:"Private network serving the local user",2:"Public network serving the local user",3:"Transit network",4:"Public network serving the remote user",5:"Private network serving the remote user",10:"Network beyond the interworking point"}
CAUSEQ={16:"Normal call clearing",31:"Normal, unspecified",1:"Unassigned number",127:"Interworking, unspecified",98:"Message not compatible with call state or message type non-existent or not implemented"}
CST={0:"NULL",10:"Active",12:"Diconnect indication",62:"Restart",25:"Overlap receiving"}
PRG={1:"Call is not end-to-end ISDN",8:"In-band information or an appropriate pattern is now available"}
SIG={0:"Dial tone",63:"Tones off",79:"Alerting off",**{64+i:"Alerting on - pattern %d"%i for i in range(8)}}
UU={0:"User specific protocol",4:"IA5 characters",7:"V.120",8:"Q.931/I.451 user-network call control",2:"X.244"}
def uuname(v):
    if v in UU: return UU[v]
    if 16<=v<=63 or 80<=v<=254: return "Other network layer 3 protocols (X.25)"
    if 64<=v<=79: return "National use"
    if v in (1,3,5): raise Trunc()
    return "Reserved"
HEAD={0x00:"Segmented message",0x04:"Bearer capability",0x08:"Cause",0x10:"Call identity",0x14:"Call state",0x18:"Channel identification",0x1E:"Progress indicator",0x20:"Network specific facilities",0x27:"Notification indicator",0x28:"Display",0x29:"Date, time (Y/M/D)",0x2C:"Keypad facility",0x34:"Signal",0x6C:"Calling party number",0x6D:"Calling party subaddress",0x70:"Called party number",0x71:"Called party subaddress",0x74:"Redirecting number",0x78:"Transit network selection",0x79:"Restart indicator",0x7C:"Low layer compatibility",0x7D:"High layer compatibility",0x7E:"User to user",0x7F:"Escape for extension"}
CAP={0:"Speech",8:"Unrestricted digital information",9:"Restricted digital information",16:"3.1Khz audio",17:"Unrestricted digital information with tones/anouncements",24:"Video"}
RATE={0:"Packet mode",16:"64kbps",17:"2x64kbps",19:"384kbps",21:"1536kbps",23:"1920kbps",24:"Multirate"}
L1={1:"V.110, I.460, X.30",2:"G.711 mlaw",3:"G.711 Alaw",4:"G.721 32kbps ADPCM and I.460",5:"H.221, H.242",6:"H.223, H.245",7:"Defined by user",8:"V.120",9:"X.31 HDLC flag stuffing"}
TON={0:"Unknown",1:"International number",2:"National number",3:"Network specific",4:"Subscriber number",6:"Abbreviated number",7:"Reserved for extension"}
NPI={0:"Unknown",1:"ISDN/telephony numbering plan",3:"Data numbering plan",4:"Telex numbering plan",8:"National standard numbering plan",9:"Private numbering plan",15:"Reserved for extension"}
PRES={0:"Presentation allowed",1:"Presentation restricted",2:"Number not available due to internetworking",3:"Reserved"}
SCR={0:"User-provided, not screened",1:"User-provided, verified and passed",2:"User-provided, verified and failed",3:"Network provided"}
RED={1:"Call forwarding busy or called DTE busy",2:"Call forwarding no reply",4:"Call deflection",9:"Called DTE out of order",10:"Call forwarding by the called DTE",15:"Call forwarding unconditionnal or systematic call redirection"}
HLC={1:"Telephony",4:"Facsimile Group 2/3 (F.182)",104:"Multimedia service",94:"Unknown",95:"Unknown",96:"Videotelephony (F.720, F.721, F.731 profile 1a)",97:"Videoconferencing (F.702, F.731 profile 1b",98:"Audiographic conferencing (F.702, F.731 some profiles",**{v:"Audiovisual service (F.700)" for v in list(range(99,104))+list(range(105,112))}}
NIT={0:"User specified",2:"National network identification",3:"International network identification"}
NIP={0:"Unknown",1:"Carrier identification code",3:"Data network identification code"}
def csl(o): return " %s Coding Standard: %s\n"%(pic(o,0x60),CS[(o>>5)&3])
def locl(o): return " %s Location: %s\n"%(pic(o,0x0F),LOC.get(o&15,"Reserved"))
def dump(ie,a,prefix,off=0):
    end=2+ie[1]
    return raw(prefix,ie.sl(a,end),off) if a<end else ""
def moderate(ie,k):
    o=ie[k]; s=" %s Transfer mode: %s\n"%(pic(o,0x60),{0:"Circuit mode",2:"Packet mode"}.get((o>>5)&3,"Unknown"))
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
        if c&0x7F not in CAUSEQ and c&0x7F!=0: raise Trunc()
        s=csl(o)+locl(o)+" %s Cause value=%u %s\n"%(pic(c,0x7F),c&0x7F,CAUSEQ.get(c&0x7F,"Illegal value"))
        if ie[1]>=3: s+=dump(ie,4,"Extra bytes: ")
        return s
    if b==0x10: return dump(ie,2,"Raw data: ",1)
    if b==0x14:
        o=ie[2]
        if o&0x3F not in CST and o&0x3F not in (5,13,14,16,18,20,21,23,24,26,27,63): raise Trunc()
        return " %s Coding Standard: %s\n"%(pic(o,0xC0),CS[o>>6])+" %s Call state value: %s\n"%(pic(o,0x3F),CST.get(o&0x3F,"Reserved"))
    if b==0x1E:
        o=ie[2]; p=ie[3]
        if p&0x7F not in PRG and p&0x7F not in (0,6,7,9,10,50,127): raise Trunc()
        return csl(o)+locl(o)+" %s Progress description: %s\n"%(pic(p,0x7F),PRG.get(p&0x7F,"Reserved"))
    if b==0x20:
        n=ie[2]; s=" %s Length of network identification: %u\n"%(pic(n),n)
        if n:
            o=ie[3]; s+=" %s Type of network identification: %s\n"%(pic(o,0x70),NIT.get((o>>4)&7,"Reserved"))+" %s Network identification plan: %s\n"%(pic(o,0x0F),NIP.get(o&15,"Reserved"))
            if ie[1]>2: s+=raw("Network identification: ",ie.sl(4,4+n),0)
        return s+dump(ie,3+n,"Network specific facilities: ")
    if b==0x27: return " %s Notification description: %s\n"%(pic(ie[2],0x7F),{0:"User suspended",1:"User resumed",2:"Bearer service change"}.get(ie[2]&0x7F,"Reserved"))
    if b in (0x28,0x2C): return dump(ie,2,"Extra bytes: ")
    if b==0x29:
        L=ie[1]; s=" %u/%u/%u"%(ie[2],ie[3],ie[4])
        if L>=4: s+=", %u:"%ie[5]
        if L>=5: s+="%u:"%ie[6]
        if L>=6: s+="%u"%ie[7]
        return s+"\n"
    if b==0x34:
        v=ie[2]
        if v not in SIG and v<80 and v not in (10,20,60): raise Trunc()
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
        o=ie[2]; t=(o>>4)&7; s=" %s Type of subaddress: %s\n"%(pic(o,0x70),{0:"NSAP",2:"User specified"}.get(t,"Reserved"))
        if t==2: s+=" %s Odd/even indicator: %s\n"%(pic(o,0x80),"Odd number of address signals" if o&0x80 else "Even number of address signals")
        if ie[1]>=2: s+=dump(ie,3," Subaddress information: ")
        return s
    if b==0x78:
        o=ie[2]; s=" %s Type of network identification: %s\n"%(pic(o,0x70),NIT.get((o>>4)&7,"Reserved"))+" %s Network identification plan: %s\n"%(pic(o,0x0F),NIP.get(o&15,"Reserved"))
        if ie[1]>=2: s+=dump(ie,3," Network identification: ")
        return s
    if b==0x79: return " %s Class: %s\n"%(pic(ie[2],7),{0:"Indicated channels in the channel identification IE",6:"Single interface",7:"All interface"}.get(ie[2]&7,"Reserved"))
    if b==0x7D:
        o=ie[2]; i=o&0x1C; pm=o&3; c=ie[3]&0x7F
        if c not in HLC and c in (33,36,50,51,53,56,65,66): raise Trunc()
        s=csl(o)+" %s Interpretation: %s=%u\n"%(pic(o,0x1C),"Use first high layer characteristics" if i==16 else "Reserved",i)
        s+=" %s Presentation method of protocol profile: %s=%u\n"%(pic(o,3),"High layer" if pm==1 else "Reserved",pm)
        s+=" %s High layer Characteristics identification: %s=%u\n"%(pic(ie[3],0x7F),HLC.get(c,"Reserved"),c)
        if 94<=c<=98 or c==104: s+=" %s Octet 4a\n"%pic(ie[4])
        return s
    if b==0x7E:
        v=ie[2]; s=" %s Protocol discriminator: %s=%u\n"%(pic(v),uuname(v),v)
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
            s+=" %s %s -> %s\n"%(pic(b),"Non-locking Shift to codeset" if b&8 else "Locking Shift to codeset",CSN[cs])
            active=cs; one=True; p+=1; continue
        try:
            if b&0xF0==0x80: s+=" %s Reserved:\n"%pic(b); nxt=None
            elif active!=0:
                L=m[p+1]; ie=M(d[p:p+2+L]); s+=" %s IE from codeset %u ->\n"%(pic(b),active)+" %s IE Length = %u\n"%(pic(L),L)
                if L!=0: s+=dump(ie,2,"Raw data: ")  # ending exactly at the end is dumped too
                nxt=p+2+L
            elif b==0xA0: s+=" %s More data\n"%pic(b); nxt=None
            elif b==0xA1: s+=" %s Sending complete\n"%pic(b); nxt=None
            elif b&0xF0==0xB0: s+=" %s Congestion level -> %s\n"%(pic(b),{0:"Receiver ready",15:"Receiver not ready"}.get(b&15,"Unknown")); nxt=None
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
                l=R.randrange(4); opt+=bytes([R.choice(list(PAR)),l])+rb(l)
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
                l=R.randrange(3); opt=bytes([R.choice(list(PAR)),l])+rb(l)+(b"\0" if R.random()<0.7 else b"")
            return head+bytes([2,1+len(cause) if opt else 0])+cause+opt
        opt=b""
        if R.random()<0.6:
            l=R.randrange(3); opt=bytes([R.choice(list(PAR)),l])+rb(l)+(b"\0" if R.random()<0.7 else b"")
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


def main():
    global R
    R = random.Random(4110)
    want = {"ss7": 110, "q921": 110, "mnt": 30}
    got = {k: 0 for k in want}
    out = bytearray()
    while any(got[k] < want[k] for k in want):
        k = R.random()
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
        text = exp.encode("latin-1")
        out += b"@@ %d %s %d %d %d %s\n" % (len(text), name.encode(), v, p, a, " ".join("%02X" % x for x in d).encode())
        out += text + b"\n"
    with open(os.path.join(HERE, "decoder_model_cases.txt"), "wb") as f:
        f.write(bytes(out))


if __name__ == "__main__":
    main()
