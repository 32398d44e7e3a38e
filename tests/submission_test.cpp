// What a student hands in, as the demo builds it: a folder with a Makefile,
// a folder of sources, and what a folder may not bring into its build.
#include "demo_harness.hpp"
#include "harness.hpp"

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// A folder is built as its form says: with make, the program being the one
// executable file the build made (a script there before is not it), or its
// sources, C and C++ together, into one program; a build that makes two
// programs and names neither run has made none to run.
TEST_F(Demo, BuildsAFolderAsItsFormSays) {
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755); // as a class's folder is: the run's user reads in it
    auto folder = [&dir](const char *name, const std::map<std::string, std::string> &files) {
        std::string path = std::string(dir) + "/" + name;
        mkdir(path.c_str(), 0755);
        for (const auto &[file, text] : files) {
            std::string at = path;
            at.append("/").append(file);
            std::ofstream(at) << text;
            chmod(at.c_str(), file.ends_with(".sh") ? 0755 : 0644);
        }
        return path;
    };
    std::string main_c = "void serve(void);\nint main(void) { serve(); }\n";
    std::string serve_c = "void serve(void) {}\n", serve_cc = "extern \"C\" void serve() {}\n";
    std::string rule = "door: main.c serve.c\n\tcc -o door main.c serve.c\n";
    // A link is copied as a link, by the run's user: one to a file in a
    // folder nobody else may enter (another student's, the teacher's) brings
    // none of it into the build.
    std::string hidden = std::string(dir) + "/teachers";
    mkdir(hidden.c_str(), 0700);
    std::ofstream(hidden + "/reference.c") << "SECRET-LINE\n";
    std::string link = folder("link", {{"main.c", "#include \"secret.h\"\n"}});
    ASSERT_EQ(symlink("../teachers/reference.c", (link + "/secret.h").c_str()), 0);
    struct Build {
        std::string folder;
        int status;
        const char *said;
    };
    const Build builds[] = {
        {folder("make",
                {{"Makefile", rule}, {"main.c", main_c}, {"serve.c", serve_c}, {"check.sh", ""}}),
         0, ""},
        {folder("sources", {{"main.c", main_c}, {"serve.cc", serve_cc}}) + "/.", 0, ""}, // as "."
        {folder(
             "two",
             {{"Makefile", rule + "\tcp door door2\n"}, {"main.c", main_c}, {"serve.c", serve_c}}),
         1, "error: the build made no program to run: 2 executable files"},
        {link, 1, "secret.h"}};
    for (const Build &b : builds) {
        std::string out = b.folder + ".program";
        Child demo = spawn(DEMO_PATH, {"--private", "--build", b.folder, "--output", out});
        std::string said = read_rest(demo.out, 30000);
        int status = wait_exit(demo.pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == b.status)
            << b.folder << ": " << said;
        std::ifstream program(out);
        std::string head(4, '\0');
        program.read(head.data(), 4);
        EXPECT_EQ(head == "\177ELF", b.status == 0) << b.folder;
        EXPECT_NE(said.find(b.said), std::string::npos) << said;
        EXPECT_EQ(said.find("SECRET-LINE"), std::string::npos) << said;
    }
    std::filesystem::remove_all(dir);
}

// A build that writes without end (here 50 MB, from a folder's Makefile)
// holds no more of the grader's memory than its first errors and its last
// line need (where it was all kept, 100 MB held 180 MiB).
TEST_F(Demo, KeepsLittleOfABuildsOutput) {
#if defined(__SANITIZE_ADDRESS__) // which keeps what is freed, 256 MiB of it
    GTEST_SKIP() << "AddressSanitizer's own memory hides the grader's";
#endif
    char dir[] = "/tmp/klient-grade-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    chmod(dir, 0755);
    std::string folder = std::string(dir) + "/floods";
    mkdir(folder.c_str(), 0755);
    std::ofstream(folder + "/Makefile") << "all:\n\tyes $$(printf %0500d 0) | head -c 50000000\n"
                                           "\tfalse\n";
    chmod((folder + "/Makefile").c_str(), 0644);
    Child grader = spawn(KLIENT_GRADE_PATH, {"--logs", std::string(dir) + "/logs", folder});
    std::string card = read_rest(grader.out, 60000);
    int status;
    rusage usage = {};
    ASSERT_EQ(wait4(grader.pid, &status, 0, &usage), grader.pid);
    EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "KiB at most, the grader or a program it waited for";
    EXPECT_NE(card.find("build failed: "), std::string::npos) << card; // its end, or its time up
    std::filesystem::remove_all(dir);
}
