// Runs one statement through the engine, as the installer does, and prints
// how long the server took. For benchmarks and scripts: the server name
// comes as the first argument, the statement on standard input, and the
// sa password in the environment variable MSSQL_SA_PASSWORD (never on the
// command line).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "engine/engine.h"

int main(int argc, char** argv) {
    const char* password = std::getenv("MSSQL_SA_PASSWORD");
    if (argc != 2 || password == nullptr) {
        std::fprintf(stderr, "usage: MSSQL_SA_PASSWORD=... run-statement SERVER < statement.sql\n");
        return 2;
    }
    const std::string sql((std::istreambuf_iterator<char>(std::cin)),
                          std::istreambuf_iterator<char>());
    try {
        engine::TDatabase db(nullptr);
        db.SetDatabaseName("Bench");
        const engine::TStrings lines = {
            "USER NAME=sa", std::string("PASSWORD=") + password, "DATABASE NAME=Master",
            std::string("SERVER NAME=") + argv[1], "LANGDRIVER=BLLT1FR0"};
        for (const std::string& line : lines)
            db.AddParam(line);
        const auto connecting = std::chrono::steady_clock::now();
        db.SetConnected(true);
        const auto start = std::chrono::steady_clock::now();
        engine::TQuery query(nullptr);
        query.SQL = {sql};
        query.SetDatabaseName("Bench");
        query.ExecSQL();
        const auto end = std::chrono::steady_clock::now();
        std::printf("connect %.3f s, statement %.3f s\n",
                    std::chrono::duration<double>(start - connecting).count(),
                    std::chrono::duration<double>(end - start).count());
    } catch (const platform::Exception& e) {
        std::fprintf(stderr, "%s\n", e.Message().c_str());
        return 1;
    }
    return 0;
}
