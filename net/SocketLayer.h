#pragma once
// Keeps the system's socket layer started for one user while it lives. Windows asks every user
// of its sockets to start the layer first and to stop it when done; elsewhere there is nothing
// to start.

class SocketLayer {
public:
    SocketLayer() = default;
    ~SocketLayer();

    SocketLayer(const SocketLayer&) = delete;
    SocketLayer& operator=(const SocketLayer&) = delete;

    // Starts the layer (once; later calls change nothing). 0, or the system's error number.
    int Start();

private:
    bool started_ = false;
};
