#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/, from packets that GG
clients (libgadu 1.12), HTTP clients, SOCKS proxies and name servers really send. Run again
after changing an input format; the files are kept in the tree."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def le(value):
    return struct.pack('<i', value)


def packet(kind, payload):
    return le(kind) + le(len(payload)) + payload


def record(target, data):
    return bytes([target]) + struct.pack('<H', len(data)) + data


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


# libgadu 1.12: number 1001, description "Opis ąę Привет", messages to 1002.
LOGIN80 = bytes.fromhex(
    'e9030000706c028b4bfe71fceab2dccb573b39ac2f013d638fb7dc0000000000000000000000000000000000000000000000000000'
    '000000000000000000000000000000000000040000000100800037270000000000000000000000000000006423000000476164752d'
    '4761647520436c69656e74204275696c642031302e312e302e3131303730160000004f70697320c485c49920d09fd180d0b8d0b2d0'
    'b5d182')
LOGIN110 = bytes.fromhex(
    '0a02706c12060104313030311a148b4bfe71fceab2dccb573b39ac2f013d638fb7dc20042d77ffee0335140603003a6747472d50686f'
    '656e69782f31312e332e34352e313037373120284255494c443b57494e4e545f7838362d6d7376633b72763a31312e302c706c3b72'
    '656c656173653b7374616e646172642920284f533b57696e646f77733b57696e646f7773204e5420362e312945040000004a164f70'
    '697320c485c49920d09fd180d0b8d0b2d0b5d1825204000000005a586176617461722c537461747573436f6d6d656e74732c676761'
    '63636f756e742c65646973632c6d757369635f7368617265642c626f742c66616e706167652c7075626469722c626f744361707'
    '32c67696674732c4769667460ff016864757f0000007800880100')
STATUS80 = bytes.fromhex('0400000014000000160000004f70697320c485c49920d09fd180d0b8d0b2d0b5d18200')
SENDMSG80 = bytes.fromhex(
    'ea0300006ba3166b0800000093000000a90000003c7370616e207374796c653d22636f6c6f723a233030303030303b20666f6e742d66'
    '616d696c793a274d53205368656c6c20446c672032273b20666f6e742d73697a653a3970743b20223e7a61c5bcc3b3c582c4872026'
    '6c743b622667743b2026616d703b20d09fd180d0b8d0b2d0b5d18220f09f98803c2f7370616e3e007a61bff3b3e6203c623e20262'
    '03f3f3f3f3f3f203f00020600000008000000')
SENDMSG110 = bytes.fromhex(
    '0a06010431303032100818012a227a61c5bcc3b3c582c487203c623e202620d09fd180d0b8d0b2d0b5d18220f09f988032393c737061'
    '6e3e7a61c5bcc3b3c582c48720266c743b622667743b2026616d703b20d09fd180d0b8d0b2d0b5d18220f09f98803c2f7370616e3e')
NOTIFY110 = bytes.fromhex('0004313030320300043130303303')
TYPING = bytes.fromhex('0500ea030000')


def gg():
    login60 = packet(21, le(1002) + le(0x12345678) + le(4) + le(0x20) + bytes(10) + b'opis\0')
    session = [
        record(0, login60),
        record(1, packet(0x31, LOGIN80)),
        record(2, packet(0x83, LOGIN110)),
        record(0, packet(2, le(4) + 'zajęty'.encode('cp1250') + b'\0')),
        record(1, packet(0x38, STATUS80)),
        record(0, packet(16, le(1001) + b'\x03' + le(1003) + b'\x03')),
        record(2, packet(0x77, NOTIFY110)),
        record(1, packet(13, le(1002) + b'\x03')),
        record(1, packet(0x2d, SENDMSG80)),
        record(2, packet(0x7d, SENDMSG110)),
        record(0, packet(11, le(1001) + le(7) + le(8) + 'cześć'.encode('cp1250') + b'\0')),
        record(2, packet(0x59, TYPING)),
        record(1, packet(0x46, le(1))),
        record(0, packet(22, b'\x00' + 'a;b;1001;'.encode() + b'\r\n')),
        record(0, packet(22, b'\x02')),
        record(0, packet(8, b'')),
        record(0, packet(20, b'\x03x')),
        record(1, packet(2, le(1))),
    ]
    write('GgSessionFuzz', 'dialects', b'\x01' + b''.join(session))
    # The same stream cut at odd places, and a client that leaves.
    stream = b''.join(r[3:] for r in session[:3:]) + packet(11, le(1002) + le(1) + le(8) + b'x\0')
    cut = b''.join(record(0, stream[i:i + 7]) for i in range(0, len(stream), 7))
    write('GgSessionFuzz', 'split', b'\x00' + record(1, packet(21, le(1002))) + cut + bytes([0x80]))
    # Logging in again on one connection, in every dialect: as another number, hidden, and back.
    again = []
    for target, kind, login in ((0, 21, le(1002)), (1, 0x31, LOGIN80), (2, 0x83, LOGIN110)):
        again += [record(target, packet(kind, login)), record(target, packet(2, le(4) + b'jestem\0')),
                  record(target, packet(21, le(1004))), record(target, packet(2, le(0x4014))),
                  record(target, packet(kind, login)), record(3, packet(11, le(1001) + le(9) + le(8) + b'hej\0'))]
    write('GgSessionFuzz', 'login-again', b'\x02' + record(3, packet(21, le(1003))) + b''.join(again))
    # One number (1001) on every dialect's connection at once: messages for it, one connection
    # vanishing and coming back (bit 6), one logging off with a description, one closing.
    same = [
        record(0, packet(21, le(1001))), record(0, packet(2, le(0x4004) + b'stary\0')),
        record(1, packet(0x31, LOGIN80)), record(2, packet(0x83, LOGIN110)),
        record(3, packet(21, le(1003))), record(3, packet(16, le(1001) + b'\x03')),
        record(3, packet(11, le(1001) + le(1) + le(8) + b'pierwszy\0')),
        record(0x40, packet(0x31, LOGIN80)), record(3, packet(11, le(1001) + le(2) + le(8) + b'drugi\0')),
        record(1, packet(0x38, bytes.fromhex('15400000140000000200000070610000'))),
        bytes([0x82]), record(3, packet(11, le(1001) + le(3) + le(8) + b'trzeci\0')),
        record(3, packet(16, le(1001) + b'\x03')),
    ]
    write('GgSessionFuzz', 'same-number', b'\x02' + b''.join(same))
    write('GgSessionFuzz', 'bad-length', b'\x00' + record(0, le(11) + le(-1) + b'abc') + record(1, le(11) + le(70000)))


def http():
    requests = [
        b'GET /appsvc/appmsg4.asp?fmt=2&lastmsg=0&version=7.7.0.3315 HTTP/1.0\r\nHost: appmsg.gadu-gadu.pl\r\n'
        b'User-Agent: Mozilla/4.7 [en] (Win98; I)\r\nPragma: no-cache\r\n\r\n',
        b'HEAD /index.html HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\nAccept: */*\r\n\r\n',
        b'POST /appsvc/appmsg.asp HTTP/1.0\r\nContent-Length: 11\r\nContent-Type: text/plain\r\n\r\nhello=world',
        b'GET / HTTP/1.0\nReferer: x\nAccept-Language: pl\nAccept-Encoding: gzip\n\nGET /a HTTP/1.0\n\n',
    ]
    for i, r in enumerate(requests):
        write('HttpRequestFuzz', 'request-%d' % i, record(0, r))
    whole = requests[0]
    write('HttpRequestFuzz', 'split', b''.join(record(0x40, whole[i:i + 5]) for i in range(0, len(whole), 5)) + b'\x80')


def http_pipeline():
    # Request bytes (see HttpPipelineFuzz.cpp), then piece lengths less one.
    kept_get, kept_head, head, missing, other, last = 0x0C, 0x0D, 0x05, 0x08, 0x0F, 0x80
    write('HttpPipelineFuzz', 'two-heads', bytes([kept_head, head | last]))
    write('HttpPipelineFuzz', 'three-in-pieces', bytes([kept_get | 0x10, kept_head | 0x40, kept_get | 0x20 | last]) +
          bytes([0, 6, 30, 2, 99, 0, 0, 1]))
    write('HttpPipelineFuzz', 'ended-early', bytes([kept_get, missing, kept_head, other | last]) + bytes([255]))


def line_mode():
    write('LineModeFuzz', 'edit-echo', b'\x13' + struct.pack('<H', 300) + record(0, b'ab\b\tc\r\nmore\r\n')
          + record(0x40, b'raw bytes') + record(0x40, b'line\r\n') + record(0x20, b'x\r\ny\r\n'))
    write('LineModeFuzz', 'limit', b'\x05' + struct.pack('<H', 16) + record(0, b'a' * 40 + b'\n') + record(0x80, b''))


def hosts():
    write('HostsLinesFuzz', 'debian', b'127.0.0.1\tlocalhost\n127.0.1.1\tbox\n\n# IPv6\n::1     localhost ip6-localhost\n')
    write('HostsLinesFuzz', 'redirected', b'127.0.0.1\tadserver.gadu-gadu.pl\r\n127.0.0.1\tappmsg.gadu-gadu.pl\r\n'
          b'# www.gadu-gadu.pl\r10.0.0.1 update.gadu-gadu.pl UPDATE.GADU-GADU.PL\r\nlast')


def socks():
    grant5 = b'\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x9a'
    write('SocksReplyFuzz', 'level5', b'\x02' + record(0, b'\x05\x00') + record(0, grant5 + b'hello\r\n'))
    write('SocksReplyFuzz', 'level5-auth', b'\x06' + record(0, b'\x05\x02') + record(0, b'\x01\x00')
          + record(0, b'\x05\x00\x00\x03\x0fgg.example.test\x1f\x9a'))
    write('SocksReplyFuzz', 'level4', b'\x00' + record(0, b'\x00\x5a\x1f\x9a\x0a\x01\x02\x03data'))
    write('SocksReplyFuzz', 'level4a-refused', b'\x09' + record(0, b'\x00\x5b\x00\x00\x00\x00\x00\x00'))
    write('SocksReplyFuzz', 'level5-error', b'\x02' + record(0, b'\x05\x00') + record(0, b'\x05\x05\x00\x01') + b'\x80')


def dns():
    header = bytes.fromhex('81800001000200000000')
    answer_a = bytes.fromhex('c00c000100010000003c00040a000001') + bytes.fromhex('c00c000100010000003c00040a000002')
    write('DnsAnswerFuzz', 'a', b'\x02' + header + struct.pack('<H', len(answer_a)) + answer_a)
    ptr = bytes.fromhex('c00c000c00010000003c000e') + b'\x04host\x04test\x00'
    header1 = bytes.fromhex('81800001000100000000')
    write('DnsAnswerFuzz', 'ptr', b'\x03' + header1 + struct.pack('<H', len(ptr)) + ptr)
    write('DnsAnswerFuzz', 'nxdomain', b'\x02' + bytes.fromhex('81830001000000000000') + b'\x00\x00')
    write('DnsAnswerFuzz', 'truncated', b'\x02' + bytes.fromhex('83800001000000000000') + b'\x00\x00')


# libgadu 1.12 (GnuTLS) set to "encryption if available": its ClientHello as it sent it.
CLIENT_HELLO = bytes.fromhex(
    '16030101700100016c03031529dba5ad2d153469629ec3b0d4223941dda6f596c51c792fc12af2bdc2f0e220296ae2ba31bf4acf60f9'
    'ebaef0bda6c4a7715833c9fddcc27d1beb5918b4c08a003a1302130313011304c02ccca9c0adc00ac02bc0acc009c030cca8c014c02f'
    'c013009dc09d0035009cc09c002f009fccaac09f0039009ec09e0033010000e9000500050100000000000a0016001400170018001900'
    '1d001e01000101010201030104000b00020100000d00220020040108090804040308070501080a0805050308080601080b0806060302'
    '0102030016000000170000002300000033006b00690017004104b15ad6f04b0623a143fecdb592e45edef33148f5f82a20e96f686108'
    '467e12af1052c34b73209509e1268b1fe1bdadb8ba40f39e4ab9bbd4fc77a2c980746016001d0020cff0f0d109245c366f6d81040db9'
    'e26eadad89c68f602e4fa7dbfd1db32ce403002b0009080304030303020301ff01000100002d0003020100001c00024001')


def tls():
    write('TlsReaderFuzz', 'client-hello', b'\x00' + record(0, CLIENT_HELLO))
    write('TlsReaderFuzz', 'client-hello-split', b'\x00' + record(0, CLIENT_HELLO[:3]) + record(0, CLIENT_HELLO[3:200])
          + record(0, CLIENT_HELLO[200:]) + b'\x80')
    write('TlsReaderFuzz', 'http-request', b'\x00' + record(0, b'GET / HTTP/1.0\r\n\r\n'))
    login = packet(21, le(1002) + le(0x12345678) + le(4) + le(0x20))
    write('TlsReaderFuzz', 'session', b'\x01' + record(0x40, login) + record(0x40, packet(8, b'') * 3)
          + record(0x40, bytes(20000)) + record(0x60, b''))
    write('TlsReaderFuzz', 'record-garbage', b'\x01' + record(0x40, login) + record(0, b'\x17\x03\x03\x00\x05hello'))


gg()
http()
http_pipeline()
line_mode()
hosts()
socks()
dns()
tls()
