"""An MQTT 3.1.1 server on a loopback port that answers as a test tells it, for what a real broker
will not do or show: it may send no CONNACK, refuses the subscriptions it is told to (SUBACK 0x80),
acknowledges each PUBLISH at QoS 1 and each PINGREQ, and keeps every packet its clients sent,
decoded, in order."""
import socket
import struct
import threading

CONNECT, CONNACK, PUBLISH, PUBACK, SUBSCRIBE, SUBACK, PINGREQ, PINGRESP, DISCONNECT = 1, 2, 3, 4, 8, 9, 12, 13, 14
REFUSED = 0x80


class FakeBroker:
    def __init__(self, connack=True, refused=()):
        self.connack = connack
        self.refused = set(refused)
        self.packets = []  # dicts, each with "kind", in the order they came
        self.lock = threading.Lock()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen()
        self.port = self.listener.getsockname()[1]
        self.clients = []
        threading.Thread(target=self.accept, daemon=True).start()

    def stop(self):
        self.listener.close()
        for client in self.clients:
            client.close()

    def seen(self, kind):
        with self.lock:
            return [packet for packet in self.packets if packet["kind"] == kind]

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # stopped
            self.clients.append(client)
            threading.Thread(target=self.serve, args=(client,), daemon=True).start()

    def serve(self, client):
        reader = client.makefile("rb")
        try:
            while True:
                header = reader.read(1)
                if not header:
                    return
                body = reader.read(remaining_length(reader))
                reply = self.take(header[0], body)
                if reply:
                    client.sendall(reply)
        except (OSError, ValueError):
            return

    def take(self, first, body):
        """Records a packet; returns the reply it gets, if any."""
        kind, flags = first >> 4, first & 0x0F
        packet = {"kind": kind}
        reply = b""
        if kind == CONNECT:
            packet.update(connect_fields(body))
            reply = bytes([CONNACK << 4, 2, 0, 0]) if self.connack else b""
        elif kind == SUBSCRIBE:
            packet_id, topics = struct.unpack_from(">H", body)[0], []
            at = 2
            while at < len(body):
                topic, at = string_at(body, at)
                topics.append((topic, body[at]))
                at += 1
            packet["topics"] = topics
            codes = bytes(REFUSED if topic in self.refused else qos for topic, qos in topics)
            reply = bytes([SUBACK << 4, 2 + len(codes)]) + struct.pack(">H", packet_id) + codes
        elif kind == PUBLISH:
            qos = flags >> 1 & 3
            topic, at = string_at(body, 0)
            packet.update(topic=topic, retain=bool(flags & 1), qos=qos)
            if qos:
                reply = bytes([PUBACK << 4, 2]) + body[at:at + 2]
                at += 2
            packet["payload"] = body[at:].decode("utf-8", "replace")
        elif kind == PINGREQ:
            reply = bytes([PINGRESP << 4, 0])
        with self.lock:
            self.packets.append(packet)
        return reply


def remaining_length(reader):
    length, shift = 0, 0
    while True:
        byte = reader.read(1)
        if not byte:
            raise ValueError("the connection ended within a packet's header")
        length |= (byte[0] & 0x7F) << shift
        shift += 7
        if not byte[0] & 0x80:
            return length


def string_at(body, at):
    size = struct.unpack_from(">H", body, at)[0]
    return body[at + 2:at + 2 + size].decode("utf-8", "replace"), at + 2 + size


def connect_fields(body):
    protocol, at = string_at(body, 0)
    level, flags = body[at], body[at + 1]
    keepalive = struct.unpack_from(">H", body, at + 2)[0]
    client_id, at = string_at(body, at + 4)
    fields = {"protocol": protocol, "level": level, "clean": bool(flags & 2), "keepalive": keepalive,
              "client_id": client_id, "will": None}
    if flags & 4:
        topic, at = string_at(body, at)
        message, at = string_at(body, at)
        fields["will"] = {"topic": topic, "payload": message, "qos": flags >> 3 & 3, "retain": bool(flags & 0x20)}
    return fields
