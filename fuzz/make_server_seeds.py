#!/usr/bin/env python3
# Writes the seed programs of the server fuzz target into fuzz/corpus/server/: the request
# shapes of the tests (downloads, uploads, path-style uploads, latency sessions, statistics,
# PUT, headers in pieces, malformed ones, admission), and a few hostile requests. The
# encoding is the one described at the top of fuzz/server_fuzz.cpp; the tables below must
# match its KEYS, EXTREMES and WORDS. Run from the repository's top directory.
import os
KEYS = ["CONTROL","UNITID","SESSIONID","LATENCY_ID","NUM_CONNECTIONS","CONNECTION","AGGREGATE_WARMUP",
"RESULTS_INTERVAL_PERIOD","RESULT_NUM_INTERVALS","TEST_DATA_CAP","TRANSFER_MAX_SIZE","WARMUP_SAMPLE_TIME",
"NUM_WARMUP_SAMPLES","MAX_WARMUP_SIZE","MAX_WARMUP_SAMPLES","WARMUP_FAIL_ON_MAX","WARMUP_TOLERANCE",
"TRACE_INTERVAL","TCP_CONG","STORE_LOG","LATENCY_INTERVAL","LATENCY_TEST","X","UNKNOWN_KEY"]
EXT = ["0","1","2","100","1000","65535","65536","2147483647","2147483648","4294967295","4294967296",
"4294967297","9223372036854775807","9223372036854775808","18446744073709551615","18446744073709551616",
"99999999999999999999999","100000000000000","2305843009213693953","1152921504606846977",
"18446744073709551","18446744073709552","9223372036854776","-1","00000000000000000001"]
WORDS = ["GET","POST","PUT","reno","cubic","nosuchalgo","A","get"]
OPEN,REQ,RAW,DATA,SHUT,RESET,CLOSE,READ,TIME,STATS,PUT,SETTLE = range(12)
METHOD = {"GET":0,"POST":1,"HEAD":2,"PUT":3}
FORM = {"/":0,"/file":1,"path":2,"/results":3}
def val(v):
    if isinstance(v,int) and 0 <= v < 128: return v
    if str(v) in EXT: return 0x80+EXT.index(str(v))
    return 0xe0+WORDS.index(v)
def op(o,k=0): return bytes([o | (k<<4)])
def req(k, method, target, params=(), pathid=0, conn=0, v10=False, nohost=False):
    form = METHOD[method] | (FORM[target]<<2) | (0x10 if v10 else 0) | (0x20 if nohost else 0) | (pathid<<6)
    assert len(params) < 16 and conn < 16
    shape = len(params) | (conn<<4)
    out = op(REQ,k)+bytes([form,shape])
    for key,v in params: out += bytes([KEYS.index(key), val(v)])
    return out
def raw(k, text): 
    b = text.encode('latin1') if isinstance(text,str) else text
    return op(RAW,k)+bytes([len(b)])+b
def data(k,n): return op(DATA,k)+bytes([n])
def time(i): return op(TIME)+bytes([i])
T1MS,T10,T50,T100,T200,T250,T1S,T1100,T2S,T5S,TLIFE_1,TLIFE1 = range(12)
def ctl(unit,sess,n,c): return [("CONTROL",1),("UNITID",unit),("SESSIONID",sess),("NUM_CONNECTIONS",n),("CONNECTION",c)]
UP = [("NUM_WARMUP_SAMPLES",3),("MAX_WARMUP_SAMPLES",30),("WARMUP_SAMPLE_TIME",1000),("RESULT_NUM_INTERVALS",4),("RESULTS_INTERVAL_PERIOD",1)]
UPFAST = [("NUM_WARMUP_SAMPLES",2),("MAX_WARMUP_SAMPLES",4),("WARMUP_SAMPLE_TIME",100),("RESULT_NUM_INTERVALS",2),("RESULTS_INTERVAL_PERIOD",1)]
seeds = {}
# Plain download, HEAD, no-path, POST without query.
seeds["download_plain"] = op(OPEN)+req(0,"GET","/file")+op(READ)+time(T1S)+op(READ)+op(CLOSE)
seeds["head"] = op(OPEN)+req(0,"HEAD","/file")+op(READ)+raw(0,"HEAD /x HTTP/1.1\r\n\r\n")+op(READ)
seeds["no_path"] = op(OPEN)+raw(0,"GET / HTTP/1.1\r\n\r\n")+op(READ)
seeds["upload_plain"] = op(OPEN)+req(0,"POST","/file")+data(0,200)+op(SHUT)+op(READ)
# Controlled download sessions of two connections, one of them closing early.
seeds["download_controlled"] = (op(OPEN,0)+op(OPEN,1)+req(0,"GET","/file",ctl(3,9,2,0))+
    req(1,"GET","/file",ctl(3,9,2,1))+op(READ,0)+op(READ,1)+time(T1S)+op(READ,0)+op(CLOSE,0)+op(READ,1)+time(TLIFE1))
seeds["download_store_log"] = op(OPEN)+req(0,"GET","/file",ctl(60,1,1,0)+[("STORE_LOG",1),("TRACE_INTERVAL",100)])+op(READ)+time(T1S)+op(READ)+op(CLOSE)+op(SETTLE)
seeds["download_tcp_cong"] = op(OPEN)+req(0,"GET","/file",ctl(5,2,1,0)+[("TCP_CONG","reno")])+op(READ)+op(OPEN,1)+req(1,"GET","/file",ctl(8,2,1,0)+[("TCP_CONG","nosuchalgo")])+op(READ,1)
# Controlled uploads: warm-up, measurement, results.
seeds["upload_controlled"] = (op(OPEN)+req(0,"POST","/file",ctl(4,1,1,0)+UPFAST)+op(READ)+
    b"".join(data(0,40)+time(T100) for _ in range(8))+b"".join(data(0,40)+time(T1S) for _ in range(3))+op(READ)+op(SHUT)+op(READ))
seeds["upload_two"] = (op(OPEN,0)+op(OPEN,1)+req(0,"POST","/file",ctl(4,2,2,0)+UP)+req(1,"POST","/file",ctl(4,2,2,1)+UP)+op(READ,0)+op(READ,1)+
    data(0,100)+data(1,100)+time(T1S)+data(0,100)+data(1,100)+time(T1S)+op(RESET,1)+time(TLIFE1))
# Path-style uploads, replacement that lowers the count, index beyond the count.
seeds["path_style"] = op(OPEN)+req(0,"POST","path",[],0,3)+op(READ)+data(0,50)+time(T1S)+op(SHUT)+op(READ)
seeds["path_style_replace"] = (op(OPEN,0)+req(0,"POST","path",[],0,3)+op(OPEN,1)+
    req(1,"POST","path",[("MAX_WARMUP_SAMPLES",1),("RESULT_NUM_INTERVALS",1),("WARMUP_SAMPLE_TIME",100)],0,0)+op(CLOSE,0)+time(T1S))
seeds["path_style_beyond"] = op(OPEN)+req(0,"POST","path",[],0,9)+op(READ)+time(TLIFE1)
# Latency sessions: GET and POST directions, statistics request.
def lat(direction, lid, n, c, extra=()):
    return [("LATENCY_TEST",direction),("LATENCY_INTERVAL",100),("LATENCY_ID",4294967297),("CONTROL",1),("NUM_CONNECTIONS",n),("CONNECTION",c)]+list(extra)
seeds["latency_get"] = (op(OPEN,0)+op(OPEN,1)+req(0,"GET","/file",lat("GET",0,2,0))+req(1,"GET","/file",lat("GET",0,2,1))+
    op(READ,0)+op(READ,1)+time(T100)+time(T100)+time(T1S)+op(READ,1)+op(CLOSE,1)+op(STATS,0)+op(READ,0)+op(SETTLE)+op(READ,0))
LPOST=[("NUM_WARMUP_SAMPLES",2),("MAX_WARMUP_SAMPLES",4),("WARMUP_SAMPLE_TIME",100),("WARMUP_TOLERANCE",100),("RESULT_NUM_INTERVALS",2),("RESULTS_INTERVAL_PERIOD",1)]
seeds["latency_post"] = (op(OPEN,0)+op(OPEN,1)+req(0,"POST","/file",lat("POST",0,2,0,LPOST))+op(READ,0)+req(1,"POST","/file",lat("POST",0,2,1,LPOST))+op(READ,1)+
    data(1,60)+time(T100)+data(1,60)+time(T100)+data(1,60)+time(T1S)+data(1,60)+time(T1S)+op(READ,1)+op(SHUT,1)+op(STATS,0)+op(READ,0)+op(SETTLE)+op(READ,0))
seeds["latency_stats_early"] = op(OPEN)+req(0,"GET","/file",lat("GET",0,1,0))+op(STATS)+op(READ)+time(T1S)+op(STATS)+op(READ)+op(RESET)
seeds["stats_plain"] = op(OPEN)+op(STATS)+op(READ)+op(OPEN,1)+raw(1,"GET /results?X=1 HTTP/1.1\r\n\r\n")
# PUT: existing file, missing file, escaping names, with a body.
seeds["put"] = op(OPEN)+op(PUT)+bytes([0])+op(SETTLE)+op(READ)+data(0,8)+op(SETTLE)+data(0,1)+op(SHUT)+op(SETTLE)+op(READ)
seeds["put_refused"] = op(OPEN)+op(PUT)+bytes([1])+op(OPEN,1)+op(PUT,1)+bytes([2])+op(OPEN,2)+op(PUT,2)+bytes([3])+op(SETTLE)+op(READ,0)+op(OPEN,3)+raw(3,"PUT /put.log?IGNORED=1 HTTP/1.1\r\nHost: t\r\n\r\n")+op(SETTLE)+op(READ,3)
seeds["put_reset"] = op(OPEN)+op(PUT)+bytes([0])+op(RESET)+op(OPEN,1)+op(PUT,1)+bytes([0])+op(SETTLE)+data(1,200)+op(RESET,1)+op(SETTLE)
# Header in pieces, malformed and oversized.
seeds["header_pieces"] = op(OPEN)+raw(0,"GET /fi")+time(T1MS)+raw(0,"le?A=1 HTTP/1.1\r\nHost: ")+raw(0,"x\r\n\r\n")+op(READ)
seeds["malformed"] = op(OPEN)+raw(0,"GET /a b HTTP/1.1\r\n\r\n")+op(OPEN,1)+raw(1,"GET /?A=1=2 HTTP/1.1\r\n\r\n")+op(OPEN,2)+raw(2,"POST / HTTP/1.1\r\n\r\nX")
seeds["trickle"] = op(OPEN)+raw(0,"GET /file HTTP/1.1\r\n")+b"".join(raw(0,"X-Pad: "+"a"*60+"\r\n") for _ in range(8))+time(T5S)+op(READ)
seeds["half_close_header"] = op(OPEN)+raw(0,"GET /file HTTP/1.1\r\n")+op(SHUT)+op(READ)
# Admission: more sessions than the limits allow.
seeds["admission"] = b"".join(op(OPEN,k)+req(k,"GET","/file",ctl(7,k+1,2,0)) for k in range(8))+op(READ,7)
# Hostile numbers from the list of known faults.
seeds["huge_count"] = op(OPEN)+req(0,"GET","/",ctl(1,1,100000000000000,0))
seeds["wrap_count"] = op(OPEN)+req(0,"GET","/",ctl(1,1,2305843009213693953,2))
seeds["wrap_warmup"] = op(OPEN)+req(0,"POST","/",ctl(1,1,1,0)+[("MAX_WARMUP_SAMPLES",1152921504606846977),("NUM_WARMUP_SAMPLES",1000),("WARMUP_SAMPLE_TIME",100),("RESULT_NUM_INTERVALS",2),("RESULTS_INTERVAL_PERIOD",1)])+data(0,10)
seeds["interval_max"] = op(OPEN)+req(0,"POST","/",ctl(1,1,1,0)+[("NUM_WARMUP_SAMPLES",1),("MAX_WARMUP_SAMPLES",2),("WARMUP_SAMPLE_TIME",100),("RESULT_NUM_INTERVALS",2),("RESULTS_INTERVAL_PERIOD",18446744073709551615),("WARMUP_TOLERANCE",100)])+data(0,50)+time(T1S)+data(0,50)+time(T1S)
seeds["latency_wrap"] = op(OPEN)+req(0,"GET","/file",[("LATENCY_TEST","GET"),("LATENCY_INTERVAL",18446744073709551),("LATENCY_ID",4294967297),("CONTROL",1),("NUM_CONNECTIONS",1),("CONNECTION",0),("TRACE_INTERVAL",18446744073709551)])+time(T1S)+op(STATS)
# The limits shared by all clients: IPv6 clients of one /64 past the per-client caps, a session
# whose worst case does not fit a small memory budget (a length of 2 or 3 modulo 4 chooses
# it), and the deadlines of a refusal, a HEAD keep-alive connection and a PUT trickle.
def pad(b, mod): return b + bytes([15]) * ((mod - len(b)) % 4)
seeds["prefix_clients"] = b"".join(op(OPEN,k)+req(k,"GET","/file",ctl(7,k+1,1,0)) for k in range(4,8))+b"".join(op(READ,k) for k in range(4,8))+time(T5S)+op(READ,7)
seeds["budget_trace"] = pad(op(OPEN,0)+req(0,"GET","/file",ctl(9,1,2,0)+[("TRACE_INTERVAL",10),("STORE_LOG",1)])+op(OPEN,4)+req(4,"GET","/file",ctl(9,2,1,0)+[("TRACE_INTERVAL",100)])+op(READ,0)+op(READ,4)+time(T1S)+op(READ,4), 2)
seeds["deadlines"] = (op(OPEN,0)+raw(0,"HEAD / HTTP/1.1\r\n\r\n")+op(OPEN,1)+op(PUT,1)+bytes([0])+op(SETTLE)+data(1,1)+
    op(OPEN,2)+req(2,"GET","/file",lat("GET",0,1,0))+raw(2,"GET /res")+time(T5S)+raw(0,"HEAD / HTTP/1.1\r\n\r\n")+time(T5S)+time(T5S)+op(READ,0)+op(READ,2)+time(TLIFE1)+raw(0,"HEAD / HTTP/1.1\r\n\r\n")+op(READ,0))
# The two-worker target (server2) starts from the same programs and from these, which step one
# worker alone (opcode 12, WORKER k) while the other holds a session's connections: a carrier
# whose lent connections fall idle past the limit (two life times on its clock while their
# owner never runs) gives them back, and an owner that recalls them meanwhile.
WORKER = 12
def worker(k): return op(WORKER, k)
def spread(unit, n, method="GET", rules=()):
    return b"".join(op(OPEN,k)+req(k,method,"/file",ctl(unit,1,n,k)+list(rules)) for k in range(n))
seeds2 = dict(seeds)
for w in range(2):
    seeds2["idle_carrier_%d" % w] = (worker(w)+spread(11,4)+op(READ,0)+op(READ,1)+worker(1-w)+
        time(TLIFE1)+time(TLIFE1)+op(READ,2)+worker(w)+op(READ,0)+op(READ,3))
    seeds2["idle_upload_%d" % w] = (worker(w)+spread(12,3,"POST",UP)+data(0,20)+data(1,20)+data(2,20)+
        worker(1-w)+time(TLIFE1)+time(TLIFE1)+worker(w)+data(2,20)+op(READ,0))
seeds2["recall_while_lent"] = (spread(13,4,"POST",UPFAST)+b"".join(data(k,40)+time(T100) for k in range(4))+
    worker(1)+time(T1S)+data(1,40)+worker(0)+time(T1S)+op(RESET,2)+worker(1)+time(TLIFE1)+worker(0)+op(READ,0))
for directory, table in (("fuzz/corpus/server", seeds), ("fuzz/corpus/server2", seeds2)):
    os.makedirs(directory, exist_ok=True)
    for name, b in table.items():
        assert len(b) < 1024, name
        open(os.path.join(directory, name), "wb").write(b)
print(len(seeds), len(seeds2))
