// The routine family of both generic unions, table-driven over the unions
// and over all four arms of each, the arms without fields included.

#include "record_test.h"

#include <algorithm>

namespace {

using namespace rt;

// An arm of a union: its position, name and type, and what can only be
// checked knowing its record class.
struct ArmCase {
    int32_t position;
    std::string_view arm_name;
    const Type *type;
    // Whether a record is one of the arm's class, tied to its routines.
    bool (*is_own_type)(const void *record);
    goheap_t *(*heap_of)(const void *record);
};

template <class A>
bool is_own_type(const void *record)
{
    const A *r = static_cast<const A *>(record);
    return r->field_count == A::kFieldCount && r->filter == family<A>::mxdr && r->var_desc == family<A>::var_desc();
}

template <class A>
goheap_t *heap_of(const void *record)
{
    return static_cast<const A *>(record)->heap;
}

template <class U>
std::vector<ArmCase> arm_cases()
{
    std::vector<ArmCase> arms;
    typetable::for_each_type<typename family<U>::arms>([&](auto arm_class) {
        using A = typename decltype(arm_class)::type;
        const typetable::Arm &arm = typetable::type_entry<U>().arms.at(arms.size());
        arms.push_back({static_cast<int32_t>(arm.position), arm.name, arm.type, &is_own_type<A>, &heap_of<A>});
    });
    return arms;
}

template <class U>
class UnionFamily : public ProbedTest {
protected:
    using C = family<U>;

    // A union on the stack selecting a fresh default-heap arm record filled
    // with random values (the arm's text lives in `texts`).
    struct Built {
        Built(const ArmCase &arm_case, Rng &rng, typetable::Texts &texts, uint32_t mask)
            : arm(arm_case), rec(nullptr, 0)
        {
            rec.discriminant = arm.position;
            rec.arm = arm.type->create(nullptr);
            EXPECT_TRUE(rec.arm && typetable::fill(*arm.type, rec.arm, rng(), mask, texts));
        }
        ~Built() { arm.type->release(nullptr, rec.arm); }
        const ArmCase &arm;
        U rec;
    };

    uint32_t random_mask(const ArmCase &arm, int round)
    {
        const uint32_t all = typetable::all_fields(arm.type->count());
        return round == 0 ? all : static_cast<uint32_t>(rng_()) & all;
    }

    Rng rng_{start_value_of(C::name)};
    typetable::Texts texts_;
};
TYPED_TEST_SUITE(UnionFamily, UnionTypes, TypeNames);

// The arm record's own encoding.
Bytes arm_bytes(const ArmCase &arm, const void *record)
{
    const int length = arm.type->length(record);
    EXPECT_GE(length, 4);
    Bytes out(static_cast<size_t>(std::max(length, 0)));
    EXPECT_EQ(arm.type->encode(record, out.data(), static_cast<uint32_t>(out.size())), length);
    return out;
}

TYPED_TEST(UnionFamily, DescriptorTablesListTheArmsInOrder)
{
    using U = TypeParam;
    using C = family<U>;
    const std::vector<ArmCase> arms = arm_cases<U>();
    ASSERT_EQ(arms.size(), 4u);
    ASSERT_EQ(U::kArmCount, 4u);
    const var_desc_t *var = C::var_desc();
    const var_length_desc_t *length = C::length_desc();
    const var_clone_desc_t *clone = C::clone_desc();
    const var_sizeof_desc_t *sizes = C::sizeof_desc();
    ASSERT_TRUE(var && length && clone && sizes);
    EXPECT_EQ(var, C::var_desc());
    EXPECT_EQ(length, C::length_desc());
    EXPECT_EQ(clone, C::clone_desc());
    EXPECT_EQ(sizes, C::sizeof_desc());
    for (const auto count : {var->count, length->count, clone->count, sizes->count})
        EXPECT_EQ(count, 4u);
    for (const ArmCase &arm : arms) {
        SCOPED_TRACE(arm.arm_name);
        const auto i = static_cast<size_t>(arm.position);
        EXPECT_EQ(var->entries[i].routine, arm.type->mxdr_p);
        EXPECT_EQ(length->entries[i].routine, arm.type->length_p);
        EXPECT_EQ(clone->entries[i].routine, arm.type->clone_p);
        EXPECT_EQ(var->entries[i].offset, 0u);
        EXPECT_EQ(length->entries[i].offset, 0u);
        EXPECT_EQ(clone->entries[i].offset, 0u);
        EXPECT_EQ(sizes->entries[i], sizeof(void *));
    }
    EXPECT_EQ(var->entries[4].routine, nullptr);
    EXPECT_EQ(var->entries[4].offset, 0u);
    EXPECT_EQ(length->entries[4].routine, nullptr);
    EXPECT_EQ(length->entries[4].offset, 0u);
    EXPECT_EQ(clone->entries[4].routine, nullptr);
    EXPECT_EQ(clone->entries[4].offset, 0u);
    EXPECT_EQ(sizes->entries[4], 0u);
}

TYPED_TEST(UnionFamily, FreshRecordSelectsNoArm)
{
    using U = TypeParam;
    using C = family<U>;
    goheap_t *heap = goheap_create(0);
    U *rec = U::place_in_goheap(heap);
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->arm_count, 4u);
    EXPECT_EQ(rec->discriminant, -1);
    EXPECT_EQ(rec->arm, nullptr);
    EXPECT_EQ(rec->layout_code, 2u);
    EXPECT_EQ(rec->plain_size, offsetof(U, reserved));
    EXPECT_EQ(rec->reserved, 0u);
    EXPECT_EQ(rec->heap, heap);
    EXPECT_EQ(rec->filter, C::mxdr);
    EXPECT_EQ(rec->length_routine, C::length);
    EXPECT_EQ(rec->clone_routine, C::clone_p);
    EXPECT_EQ(rec->var_desc, C::var_desc());
    EXPECT_EQ(rec->var_length_desc, C::length_desc());
    EXPECT_EQ(rec->var_clone_desc, C::clone_desc());
    EXPECT_EQ(rec->var_sizeof_desc, C::sizeof_desc());
    U::release_to_goheap(heap, rec);
    U given(nullptr, 0x01020304u);
    EXPECT_EQ(given.reserved, 0x01020304u);
    EXPECT_EQ(given.heap, nullptr);
    goheap_destroy(heap);
}

TYPED_TEST(UnionFamily, EveryArmRoundTripsThroughEveryForm)
{
    using U = TypeParam;
    using C = family<U>;
    using Built = typename TestFixture::Built;
    for (const ArmCase &arm : arm_cases<U>()) {
        for (int round = 0; round < 6; ++round) {
            SCOPED_TRACE(::testing::Message() << arm.arm_name << " round " << round);
            Built src(arm, this->rng_, this->texts_, this->random_mask(arm, round));
            const Bytes arm_encoding = arm_bytes(arm, src.rec.arm);
            const int length = C::length(&src.rec);
            ASSERT_EQ(length, 4 + static_cast<int>(arm_encoding.size()));
            U *srcp = &src.rec;
            EXPECT_EQ(C::length_p(&srcp), length);

            Bytes bytes(static_cast<size_t>(length));
            ASSERT_EQ(C::encode(&src.rec, bytes.data(), static_cast<uint32_t>(length)), length);
            EXPECT_EQ(get32(bytes, 0), static_cast<uint32_t>(arm.position));
            EXPECT_TRUE(std::equal(arm_encoding.begin(), arm_encoding.end(), bytes.begin() + 4));
            Bytes through_p(static_cast<size_t>(length));
            EXPECT_EQ(C::encode_p(&srcp, through_p.data(), static_cast<uint32_t>(length)), length);
            EXPECT_EQ(through_p, bytes);
            EXPECT_EQ(C::encode(&src.rec, through_p.data(), static_cast<uint32_t>(length - 1)), -1);

            auto check = [&](U *out, goheap_t *heap) {
                ASSERT_NE(out, nullptr);
                EXPECT_EQ(out->discriminant, arm.position);
                EXPECT_EQ(out->heap, heap);
                ASSERT_NE(out->arm, nullptr);
                EXPECT_NE(out->arm, src.rec.arm);
                EXPECT_TRUE(arm.is_own_type(out->arm)) << "arm record is not a " << arm.type->name;
                EXPECT_EQ(arm.heap_of(out->arm), heap);
                EXPECT_TRUE(same(*arm.type, src.rec.arm, out->arm));
            };
            // Trailing bytes behind the message are left alone.
            Bytes trailing = bytes;
            trailing.insert(trailing.end(), {0xde, 0xad, 0xbe, 0xef, 0x01});
            U *out = nullptr;
            ASSERT_EQ(C::decode(trailing.data(), static_cast<uint32_t>(trailing.size()), &out), length);
            check(out, nullptr);
            C::free_p(&out);
            EXPECT_EQ(out, nullptr);

            goheap_t *heap = goheap_create(0);
            ASSERT_EQ(C::decode_given(bytes.data(), static_cast<uint32_t>(length), &out, heap), length);
            check(out, heap);
            goheap_destroy(heap);

            heap = nullptr;
            ASSERT_EQ(C::decode_new(bytes.data(), static_cast<uint32_t>(length), &out, &heap), length);
            ASSERT_NE(heap, nullptr);
            check(out, heap);
            goheap_destroy(heap);
        }
    }
}

TYPED_TEST(UnionFamily, NoArmIsMinusOneAndNothingElse)
{
    using U = TypeParam;
    using C = family<U>;
    U rec(nullptr, 0);
    // With no arm selected the arm word is not looked at.
    unsigned char unrelated[64] = {};
    rec.arm = unrelated;
    EXPECT_EQ(C::length(&rec), 4);
    Bytes bytes(4);
    ASSERT_EQ(C::encode(&rec, bytes.data(), 4), 4);
    EXPECT_EQ(bytes, hex("FF FF FF FF"));

    U *out = reinterpret_cast<U *>(unrelated);
    ASSERT_EQ(C::decode(bytes.data(), 4, &out), 4);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->discriminant, -1);
    EXPECT_EQ(out->arm, nullptr);
    U *copy = C::clone(out);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->discriminant, -1);
    EXPECT_EQ(copy->arm, nullptr);
    C::free_p(&copy);
    C::free_p(&out);
    for (size_t n = 0; n < 4; ++n)
        expect_decode_fails<U>(bytes, n, "prefix of no arm");
}

TYPED_TEST(UnionFamily, ClonesCopyTheDiscriminantAndANewArm)
{
    using U = TypeParam;
    using C = family<U>;
    using Built = typename TestFixture::Built;
    for (const ArmCase &arm : arm_cases<U>()) {
        SCOPED_TRACE(arm.arm_name);
        Bytes bytes;
        {
            Built built(arm, this->rng_, this->texts_, typetable::all_fields(arm.type->count()));
            bytes = encode_bytes(built.rec);
        }
        U *src = nullptr;
        ASSERT_GT(C::decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &src), 0);

        goheap_t *given = goheap_create(0);
        goheap_t *fresh = nullptr;
        U *const clones[] = {C::clone(src), C::clone_given(src, given), C::clone_new(src, &fresh)};
        goheap_t *const heaps[] = {nullptr, given, fresh};
        for (int i = 0; i < 3; ++i) {
            U *copy = clones[i];
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(copy->discriminant, arm.position);
            EXPECT_EQ(copy->heap, heaps[i]);
            ASSERT_NE(copy->arm, nullptr);
            EXPECT_NE(copy->arm, src->arm);
            EXPECT_TRUE(arm.is_own_type(copy->arm));
            EXPECT_EQ(arm.heap_of(copy->arm), heaps[i]);
            EXPECT_TRUE(same(*arm.type, src->arm, copy->arm));
        }
        C::free_p(&src);
        for (U *copy : clones)
            EXPECT_EQ(encode_bytes(*copy), bytes);
        U *first = clones[0];
        C::free_p(&first);
        goheap_destroy(given);
        goheap_destroy(fresh);
    }
}

TYPED_TEST(UnionFamily, FreeReleasesArmAndUnion)
{
    using U = TypeParam;
    using C = family<U>;
    using Built = typename TestFixture::Built;
    for (const ArmCase &arm : arm_cases<U>()) {
        SCOPED_TRACE(arm.arm_name);
        Bytes bytes;
        {
            Built built(arm, this->rng_, this->texts_, typetable::all_fields(arm.type->count()));
            bytes = encode_bytes(built.rec);
        }
        const size_t before = this->live();
        U *rec = nullptr;
        ASSERT_GT(C::decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &rec), 0);
        // The union, its arm and the arm's strings.
        EXPECT_GE(this->live(), before + 2);
        C::free_p(&rec);
        EXPECT_EQ(rec, nullptr);
        EXPECT_EQ(this->live(), before);
        C::free_p(&rec);
        EXPECT_EQ(this->live(), before);
    }
}

TYPED_TEST(UnionFamily, TruncatedAndMalformedUnionsAreRefused)
{
    using U = TypeParam;
    using Built = typename TestFixture::Built;
    for (const ArmCase &arm : arm_cases<U>()) {
        SCOPED_TRACE(arm.arm_name);
        Built built(arm, this->rng_, this->texts_, typetable::all_fields(arm.type->count()));
        const Bytes bytes = encode_bytes(built.rec);
        for (size_t n = 0; n < bytes.size(); ++n)
            expect_decode_fails<U>(bytes, n, "prefix");
        for (uint32_t discriminant : {4u, 0xFFFFFFFEu, 0x7FFFFFFFu, 0x80000000u}) {
            Bytes bad = bytes;
            set32(bad, 0, discriminant);
            expect_decode_fails<U>(bad, bad.size(), "discriminant out of range");
        }
        Bytes bad = bytes;
        set32(bad, 4, get32(bad, 4) | 0x80000000u);
        expect_decode_fails<U>(bad, bad.size(), "arm presence bit beyond its fields");
    }
}

TYPED_TEST(UnionFamily, UnencodableUnionsHaveNoLength)
{
    using U = TypeParam;
    using C = family<U>;
    using Built = typename TestFixture::Built;
    const ArmCase arm = arm_cases<U>()[3];
    Built built(arm, this->rng_, this->texts_, typetable::all_fields(arm.type->count()));
    Bytes buffer(4096);
    U *recp = &built.rec;
    for (int32_t discriminant : {4, -2, 0x7fffffff, INT32_MIN}) {
        SCOPED_TRACE(discriminant);
        built.rec.discriminant = discriminant;
        EXPECT_EQ(C::length(&built.rec), -1);
        EXPECT_EQ(C::length_p(&recp), -1);
        EXPECT_EQ(C::encode(&built.rec, buffer.data(), static_cast<uint32_t>(buffer.size())), -1);
        EXPECT_EQ(C::encode_p(&recp, buffer.data(), static_cast<uint32_t>(buffer.size())), -1);
    }
    for (const ArmCase &selected : arm_cases<U>()) {
        SCOPED_TRACE(selected.arm_name);
        U rec(nullptr, 0);
        rec.discriminant = selected.position;
        EXPECT_EQ(C::length(&rec), -1);
        EXPECT_EQ(C::encode(&rec, buffer.data(), static_cast<uint32_t>(buffer.size())), -1);
    }
    built.rec.discriminant = arm.position;
    EXPECT_EQ(C::length_p(nullptr), -1);
    U *none = nullptr;
    EXPECT_EQ(C::length_p(&none), -1);
}

// A union record being decoded into may still point at an arm that belongs
// to someone else: decoding must neither read nor free it, whether the
// decode succeeds or fails, and the record afterwards names only what the
// bytes carried.
TYPED_TEST(UnionFamily, DecodingIgnoresTheOldArm)
{
    using U = TypeParam;
    using C = family<U>;
    using Built = typename TestFixture::Built;
    const std::vector<ArmCase> arms = arm_cases<U>();
    XDR release{};
    release.x_op = XDR_FREE;
    for (const ArmCase &old_arm : arms) {
        Built old_one(old_arm, this->rng_, this->texts_, typetable::all_fields(old_arm.type->count()));
        std::vector<unsigned char> snapshot(old_arm.type->size);
        std::memcpy(snapshot.data(), old_one.rec.arm, snapshot.size());
        const size_t before = this->live();
        // Decodes `bytes` into a record still selecting the old arm.
        auto decode_over_old = [&](Bytes bytes, U &target) {
            target.discriminant = old_arm.position;
            target.arm = old_one.rec.arm;
            XDR xdrs;
            xdrmem_create(&xdrs, reinterpret_cast<char *>(bytes.data()), static_cast<u_int>(bytes.size()),
                          XDR_DECODE);
            const int result = C::mxdr(&xdrs, &target, nullptr);
            XDR_DESTROY(&xdrs);
            EXPECT_EQ(std::memcmp(snapshot.data(), old_one.rec.arm, snapshot.size()), 0)
                << "the old arm was written to";
            return result;
        };

        for (const ArmCase &new_arm : arms) {
            SCOPED_TRACE(::testing::Message() << old_arm.arm_name << " -> " << new_arm.arm_name);
            Built new_one(new_arm, this->rng_, this->texts_, typetable::all_fields(new_arm.type->count()));
            const Bytes bytes = encode_bytes(new_one.rec);
            const size_t with_new = this->live();
            U target(nullptr, 0);
            EXPECT_EQ(decode_over_old(bytes, target), 1);
            EXPECT_EQ(target.discriminant, new_arm.position);
            ASSERT_NE(target.arm, nullptr);
            EXPECT_NE(target.arm, old_one.rec.arm);
            EXPECT_TRUE(new_arm.is_own_type(target.arm));
            EXPECT_TRUE(same(*new_arm.type, new_one.rec.arm, target.arm));
            EXPECT_EQ(C::mxdr(&release, &target, nullptr), 1);
            EXPECT_EQ(target.arm, nullptr);
            EXPECT_EQ(this->live(), with_new);

            // Failing part-way through the arm.
            EXPECT_EQ(decode_over_old(Bytes(bytes.begin(), bytes.end() - 1), target), 0);
            EXPECT_EQ(target.arm, nullptr);
            EXPECT_EQ(this->live(), with_new);
        }

        SCOPED_TRACE(::testing::Message() << old_arm.arm_name << " -> no arm");
        U target(nullptr, 0);
        EXPECT_EQ(decode_over_old(hex("FFFFFFFF"), target), 1);
        EXPECT_EQ(target.discriminant, -1);
        EXPECT_EQ(target.arm, nullptr) << "a record without an arm still points at one";
        EXPECT_EQ(decode_over_old(hex("00000004 00000000"), target), 0);
        EXPECT_EQ(decode_over_old(hex("0000"), target), 0);
        EXPECT_EQ(this->live(), before);
    }
}

TYPED_TEST(UnionFamily, AllocationFailureIsClean)
{
    using U = TypeParam;
    using C = family<U>;
    using Built = typename TestFixture::Built;
    for (const ArmCase &arm : arm_cases<U>()) {
        SCOPED_TRACE(arm.arm_name);
        Built built(arm, this->rng_, this->texts_, typetable::all_fields(arm.type->count()));
        const Bytes bytes = encode_bytes(built.rec);
        const size_t before = this->live();
        size_t grants = 0;
        for (;; ++grants) {
            ASSERT_LT(grants, 64u);
            this->limit(grants);
            U *out = &built.rec;
            const int32_t result = C::decode(bytes.data(), static_cast<uint32_t>(bytes.size()), &out);
            this->unlimit();
            if (result == -1) {
                EXPECT_EQ(out, nullptr);
                EXPECT_EQ(this->live(), before) << "grants " << grants;
                continue;
            }
            ASSERT_NE(out, nullptr);
            U *copy = nullptr;
            for (size_t clone_grants = 0; copy == nullptr; ++clone_grants) {
                ASSERT_LT(clone_grants, 64u);
                const size_t with_source = this->live();
                this->limit(clone_grants);
                copy = C::clone(out);
                this->unlimit();
                if (copy == nullptr) {
                    EXPECT_EQ(this->live(), with_source) << "clone grants " << clone_grants;
                }
            }
            EXPECT_EQ(encode_bytes(*copy), bytes);
            C::free_p(&copy);
            C::free_p(&out);
            break;
        }
        EXPECT_GE(grants, 2u) << "the union and its arm";
    }
}

// The two iteration arms have the same fields; the discriminant alone decides.
TEST(DebugRunState, IterationArmsKeepTheirOwnTypes)
{
    for (int32_t position : {1, 2}) {
        SCOPED_TRACE(position);
        cu_vuser_dbg_run_state_t rec(nullptr, 0);
        vudbg_start_iter_t start(nullptr, 0);
        vudbg_end_iter_t end(nullptr, 0);
        ASSERT_TRUE(start.set_iter(7));
        ASSERT_TRUE(end.set_iter(7));
        rec.discriminant = position;
        if (position == 1)
            rec.start_iter_arm = &start;
        else
            rec.end_iter_arm = &end;
        Bytes bytes(32);
        const int32_t n = xdr_encode_cu_vuser_dbg_run_state_t(&rec, bytes.data(), 32);
        ASSERT_EQ(n, 12);
        bytes.resize(12);
        EXPECT_EQ(bytes, position == 1 ? hex("00000001 00000001 00000007") : hex("00000002 00000001 00000007"));
        cu_vuser_dbg_run_state_t *out = nullptr;
        ASSERT_EQ(xdr_decode_p_cu_vuser_dbg_run_state_t(bytes.data(), 12, &out), 12);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->discriminant, position);
        if (position == 1) {
            EXPECT_EQ(out->start_iter_arm->var_desc, get_var_desc_for_vudbg_start_iter_t());
            EXPECT_EQ(out->start_iter_arm->filter, &_mxdr_vudbg_start_iter_t);
            EXPECT_EQ(out->start_iter_arm->get_iter(), 7u);
        } else {
            EXPECT_EQ(out->end_iter_arm->var_desc, get_var_desc_for_vudbg_end_iter_t());
            EXPECT_EQ(out->end_iter_arm->filter, &_mxdr_vudbg_end_iter_t);
            EXPECT_EQ(out->end_iter_arm->get_iter(), 7u);
        }
        xdr_free_p_cu_vuser_dbg_run_state_t(&out);
    }
}

} // namespace
